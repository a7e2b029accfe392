// Results of a board's operations (0 is success).
#pragma once

#include <cstdint>

enum : uint32_t {
    KV_E_START_FAILED = 0x1D010C,  // start or initialise failed
    KV_E_STOP_FAILED = 0x1D010D,   // stop could not lock the board
    KV_E_NOT_SUPPORTED = 0x1D0103,
    KV_E_KEYWORD_REFUSED = 0x1D0108,  // runtime keyword change refused
};
