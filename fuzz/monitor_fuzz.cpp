// Driver messages queued raw and taken by the board's Event: one or two, each a length byte and its bytes.
// Before each input the board forgets the status it saw, as after a start.
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
