// Feeds arbitrary file contents to the coefficient-file parser.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "QslacFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;  // fmemopen takes no empty buffer
    std::vector<char> contents(data, data + size);
    cQslacFile file(nullptr, "fuzz");
    file.m_pStream = fmemopen(contents.data(), contents.size(), "rb");
    if (file.m_pStream == nullptr) return 0;

    uint8_t block[512];
    uint32_t count = 0;
    if (file.Parse(block, sizeof(block), &count) == 0 && count > sizeof(block)) __builtin_trap();

    // A small block must refuse what does not fit, never overrun.
    rewind(file.m_pStream);
    uint8_t small[8];
    count = 0;
    if (file.Parse(small, sizeof(small), &count) == 0 && count > sizeof(small)) __builtin_trap();
    file.Close();
    return 0;
}
