// The bits of a board's "OamTraceMask": which traces a board sends, and where.
#pragma once

#include <cstdint>

enum : uint32_t {
    KV_TRACE_API = 0x00000001,         // each operation's name as it is entered
    KV_TRACE_ALERTS = 0x00000002,      // alerts received from the supervisor
    KV_TRACE_DEBUG = 0x00000004,       // driver statuses and other detail
    KV_TRACE_WRITE_BYTE = 0x00000010,  // every register write
    KV_TRACE_READ_BYTE = 0x00000020,   // every register read
    USE_PRINTF = 0x40000000,           // traces go to standard output instead of the supervisor
};
