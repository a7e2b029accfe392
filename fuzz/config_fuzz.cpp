// Feeds arbitrary bytes to the configuration file parser of a real board.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "ConfigFile.h"
#include "fake_supervisor.h"
#include "kvboard.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // A board of its own per input: nothing one input sets changes the next.
    CKvBoard board("f", "KV 7400C-48");
    CConfigFile file(&board, "fuzz", "dft", "rb");

    std::vector<uint8_t> bytes(data, data + size);
    file.m_pStream = fmemopen(bytes.data(), bytes.size(), "rb");
    if (file.m_pStream == nullptr) return 0;
    file.Parse();
    file.Close();

    kvtest::ClearAlerts();
    return 0;
}
