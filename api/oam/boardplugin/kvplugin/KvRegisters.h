// The board's control registers and the requests of its switch device.
#pragma once

#include <cstdint>

// Board registers, changed bit by bit through the masked write.
enum : uint32_t {
    KV_REG_LINE_POWER = 0xA0002,  // bit 0 external ringer (active low), 1 low battery,
                                  // 2 high battery, 3 ring voltage, 4 signalling loopback
    KV_REG_RESET = 0xA0003,
    KV_REG_CONTROL = 0xA0006,
    KV_REG_POPULATION = 0xA0008,  // bits 5-7: the port groups fitted
};

// MVIP-95 requests of the switch device (ioctl).
enum : unsigned {
    MVIP95_CMD_RESET_SWITCH = 0x101,
    MVIP95_CMD_SET_OUTPUT = 0x103,
    MVIP95_CMD_CONFIG_BOARD_CLOCK = 0x111,
};
