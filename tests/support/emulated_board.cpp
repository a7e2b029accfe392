#include "emulated_board.h"

#include <cstdlib>

#include "oam/boardplugin.h"

namespace kvtest {

uint64_t InitWithBoard(const char* product) {
    kvemu::Reset();
    setenv("WBLOAD", KV_SHARE_DIR, 1);
    char handle[32] = {0};
    if (Init("") != 0 || CreateBoard("b0", product) != 0 ||
        GetQualifier(0, "b0", "Handle", handle, sizeof(handle)) != 0)
        return 0;
    return std::strtoull(handle, nullptr, 10);
}

std::string Keyword(uint64_t handle, const char* name) {
    char value[256] = {0};
    return GetKeyword(handle, name, value, sizeof(value)) == 0 ? value : "<missing>";
}

uint8_t Register(uint32_t address) {
    uint8_t value = 0;
    kvemu::ReadRegister(0, 0, address, &value);
    return value;
}

kvemu::BoardInfo Info() {
    kvemu::BoardInfo info{};
    kvemu::GetBoardInfo(0, 0, &info);
    return info;
}

kvemu::DspState Dsp() {
    kvemu::DspState dsp;
    kvemu::GetDspState(0, 0, &dsp);
    return dsp;
}

std::string CallOf(const std::string& line) {
    size_t start = line.find(' ') + 1;
    return line.substr(start, line.find(' ', start) - start);
}

size_t Journaled(const std::string& fragment) {
    size_t count = 0;
    for (const std::string& line : kvemu::Journal()) count += line.find(fragment) != std::string::npos;
    return count;
}

}  // namespace kvtest
