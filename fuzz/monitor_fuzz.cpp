// Feeds arbitrary driver messages to the monitor: each is queued raw on the emulated board
// (kvemu::QueueMessage) and taken by the board's Event, as the monitor thread does on each wake-up, here on
// the fuzzer's thread.
//
// Input: one or two messages (the first and a later one are all the status report distinguishes), each a
// length byte and that many bytes, the last one cut at the input's end. The monitor's handle is opened once;
// before each input the board forgets the status it saw, so that the input's first status event is the first
// after a start.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fake_supervisor.h"
#include "kvboard.h"
#include "kvemu.h"

namespace {

CKvBoard* Setup() {
    CKvBoard* board = new CKvBoard("fuzz", "KV 7400C-48");
    if (board->StartMonitor() != 0) abort();
    kvtest::ClearAlerts();
    return board;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CKvBoard* board = Setup();
    board->m_FirstStatusEvent = 1;
    memset(board->m_LastStatus, 0, sizeof board->m_LastStatus);
    for (size_t at = 0, messages = 0; at < size && messages < 2; ++messages) {
        size_t length = data[at++];
        if (length > size - at) length = size - at;
        if (kvemu::QueueMessage(0, 0, data + at, static_cast<uint32_t>(length)) != 0) abort();
        board->Event();
        at += length;
    }
    kvtest::ClearAlerts();
    kvemu::ClearJournal();  // frees what the input's calls left in it
    return 0;
}
