// Feeds arbitrary file contents to the coefficient-file reader, as the plug-in reads it and as a check reads
// it: both must agree on the result.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "QslacFile.h"
#include "QslacReader.h"

namespace {

class Sink : public IKvDiagnostics {
public:
    void Report(unsigned, KvSeverity severity, const char*) override {
        errors += severity == KV_SEVERITY_ERROR;
    }
    unsigned errors = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;  // fmemopen takes no empty buffer
    std::vector<char> contents(data, data + size);
    cQslacFile file(nullptr, "fuzz");
    file.m_pStream = fmemopen(contents.data(), contents.size(), "rb");
    if (file.m_pStream == nullptr) return 0;

    uint8_t block[QSLAC_COEFFICIENTS_MAX];
    uint32_t count = 0;
    unsigned result = file.Parse(block, sizeof(block), &count);
    if (result == 0 && count > sizeof(block)) __builtin_trap();

    // Checked with a sink: the same verdict, an error for every refusal, and a small block refuses what does
    // not fit, never overruns.
    rewind(file.m_pStream);
    Sink sink;
    uint8_t small[8];
    uint32_t checked = 0;
    unsigned smallResult = KvReadCoefficients(file.m_pStream, small, sizeof(small), &checked, &sink);
    if (smallResult == 0 && (checked > sizeof(small) || sink.errors != 0)) __builtin_trap();
    if (smallResult != 0 && sink.errors == 0) __builtin_trap();
    rewind(file.m_pStream);
    Sink full;
    if (KvReadCoefficients(file.m_pStream, block, sizeof(block), &checked, &full) != result) __builtin_trap();
    file.Close();
    return 0;
}
