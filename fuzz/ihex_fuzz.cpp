// Feeds arbitrary bytes to the firmware image record reader, record after
// record, as the download does. The data buffer is exactly as large as the
// reader may fill, so any overrun shows under AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "kvboard.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static CKvBoard* board = new CKvBoard("fuzz", "KV 7400C-48");
    if (size == 0) return 0;

    std::vector<char> text(input, input + size);
    FILE* file = fmemopen(text.data(), text.size(), "r");
    if (file == nullptr) return 0;

    std::unique_ptr<uint8_t[]> data(new uint8_t[255]);
    // Every record takes at least one byte, so the loop ends; the bound is a guard.
    for (size_t records = 0; records <= size; ++records) {
        uint8_t count = 0;
        uint16_t address = 0;
        uint8_t type = 0;
        if (board->read_line(file, &count, &address, &type, data.get()) != 0) break;
    }
    fclose(file);
    return 0;
}
