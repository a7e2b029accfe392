// Feeds arbitrary bytes to the configuration file reader, applied to one board that is reused for every
// input: the harness is the reader's target (IKvConfigTarget, the seam between the format and a keyword
// tree), passes each setting on to the board and, after the input, sets every keyword it changed back to the
// value of a second board that nothing changes, so that nothing one input sets changes the next. An input of
// even size is read as the plug-in reads it (stopping at the first refused setting), one of odd size as a
// check reads it (with a diagnostics sink, on to the end).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ConfigReader.h"
#include "fake_supervisor.h"
#include "kvboard.h"
#include "tsi/tsi.h"

namespace {

class ResettingTarget : public IKvConfigTarget {
public:
    ResettingTarget(CKvBoard& board, CKvBoard& pristine) : m_Board(board), m_Pristine(pristine) {}

    unsigned SetKeywordValue(const char* name, const char* value) override {
        // The board stays IDLE: no input reaches the hardware through the reactions of a running board, and
        // no state outlives the input.
        if (tsiStrnicmp(name, "State", 5) == 0 && (name[5] == '\0' || name[5] == '.' || name[5] == '['))
            return ZEL_ERR_NOT_A_VALUE;
        unsigned result = m_Board.SetKeywordValue(name, value);
        if (result == 0) m_Changed.emplace_back(name);
        return result;
    }
    unsigned GetKeywordValue(const char* name, char* buffer, unsigned size) override {
        return m_Board.GetKeywordValue(name, buffer, size);
    }
    unsigned GetQualifierValue(const char* name, const char* qualifier, char* buffer,
                               unsigned size) override {
        return m_Board.GetQualifierValue(name, qualifier, buffer, size);
    }
    void LineNotParsed(unsigned, const char*) override {}

    // Puts back every keyword changed.
    void Reset() {
        char value[4096];
        for (const std::string& name : m_Changed) {
            if (m_Pristine.GetKeywordValue(name.c_str(), value, sizeof value) != 0 ||
                m_Board.SetKeywordValue(name.c_str(), value) != 0)
                __builtin_trap();
        }
        m_Changed.clear();
    }

private:
    CKvBoard& m_Board;
    CKvBoard& m_Pristine;
    std::vector<std::string> m_Changed;
};

class CountingSink : public IKvDiagnostics {
public:
    void Report(unsigned, KvSeverity, const char* message) override {
        if (message == nullptr || strlen(message) >= 512) __builtin_trap();
    }
};

void ReadOnce(ResettingTarget& target, std::vector<uint8_t>& bytes, IKvDiagnostics* sink) {
    FILE* stream = fmemopen(bytes.data(), bytes.size(), "rb");
    if (stream == nullptr) return;
    CKvConfigReader(target, sink).Parse(stream);
    fclose(stream);
    target.Reset();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;  // fmemopen takes no empty buffer
    static CKvBoard board("f", "KV 7400C-48");
    static CKvBoard pristine("p", "KV 7400C-48");
    static ResettingTarget target(board, pristine);
    static CountingSink sink;

    std::vector<uint8_t> bytes(data, data + size);
    ReadOnce(target, bytes, size % 2 == 0 ? nullptr : &sink);
    kvtest::ClearAlerts();
    return 0;
}
