// The board's side of its monitor thread: starting and stopping the thread,
// and, on the thread, the monitor's own driver handle and event and the
// reports of its messages.
//
// The thread opens a driver handle of its own, sleeps on the driver's
// message-pending descriptor and turns each heartbeat or DSP status message
// into a board message. While it runs it alone writes m_MonitorDriverHandle,
// m_pMonitorEvent and m_StatusText; the supervisor's thread touches them
// again only after the thread has ended. The status records (m_LastStatus,
// m_FirstStatusEvent) it handles under m_MonitorLock, and only while it is
// still the board's current monitor: a thread told to end, or given up on
// after its time-out, leaves them to the stop and the next start.
//
// A supervisor may call back into the plug-in from the alerts this thread
// sends. Whatever would wait for this thread from this thread does not wait:
// a stop of its own monitor only tells it to end. No monitor thread waits
// without a bound for another one either: a destruction of any board on a
// monitor thread tells the board's monitor to end and leaves the rest of the
// board's end to that thread (MonitorEnded), so two monitors that destroy
// each other's boards never wait for each other.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "Dsp.h"
#include "KvMonitorThread.h"
#include "KvTrace.h"
#include "KvWaits.h"
#include "kvboard.h"
#include "kvd/kvdriver.h"

namespace {

enum : uint32_t {
    KV_MANAGER_BOARD = 1,
    KV_MANAGER_DSP = 2,
    KV_HEARTBEAT_LOST = 1,
    KV_HEARTBEAT_RETURNED = 2,
    KV_MESSAGE_SIZE = 116,
    KV_STATUS_TAG = 0x10,  // params[0] of a status event
    KV_STATUS_MAX_LENGTH = 14,
};

// One reported item of a status event: a bit of one of the status words, or
// (mask 0) the whole word.
struct StatusItem {
    unsigned word;  // index into params[1..8], 0 based
    uint16_t mask;
    const char* line;
    const char* set;
    const char* clear;
};

const StatusItem kStatusItems[] = {
    {0, 0x0001, " Low Battery:            %s\n", "present", "not present"},
    {0, 0x0002, " High Battery:           %s\n", "present", "not present"},
    {0, 0x0004, " Ring Voltage:           %s\n", "present", "not present"},
    {0, 0x0008, " External Ringer Enable: %s\n", "enabled", "disabled"},
    {1, 0x0001, " Line bank 0:            %s\n", "present", "not present"},
    {1, 0x0002, " Line bank 1:            %s\n", "present", "not present"},
    {1, 0x0004, " Line bank 2:            %s\n", "present", "not present"},
    {1, 0x0008, " Rear I/O:               %s\n", "present", "not present"},
    {5, 0x0001, " T8100 system error:     %s\n", "error", "no error"},
    {5, 0x0002, " T8100 clock error:      %s\n", "error", "no error"},
    {6, 0x0001, " Thermo 0:               %s\n", "present", "not present"},
    {6, 0x0002, " Thermo 1:               %s\n", "present", "not present"},
    {6, 0x0004, " Thermo 2:               %s\n", "present", "not present"},
    {6, 0x0008, " Thermo 3:               %s\n", "present", "not present"},
    {6, 0x0010, " Thermo 4:               %s\n", "present", "not present"},
    {7, 0x0000, " Thermal state:          %s\n", nullptr, nullptr},
};

const char* ThermalStateText(uint16_t state) {
    switch (state) {
    case 0: return "Idle";
    case 1: return "Normal";
    case 2: return "Warning";
    default: return "Protection";
    }
}

// Appends to a terminated text in a buffer of size bytes; never writes past
// the buffer, and a text that does not fit is cut (still terminated).
void Append(char* buffer, size_t size, const char* format, const char* value)
    __attribute__((format(printf, 3, 0)));
void Append(char* buffer, size_t size, const char* format, const char* value) {
    size_t used = strnlen(buffer, size);
    if (used + 1 >= size) return;
    snprintf(buffer + used, size - used, format, value);
}

int HandleAsInt(KVHANDLE handle) { return static_cast<int>(reinterpret_cast<uintptr_t>(handle)); }

unsigned HandleAsHex(KVHANDLE handle) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(handle)); }

}  // namespace

// ---- Board members run on the supervisor's threads --------------------------

int CKvBoard::LockBoard() {
    // A monitor thread of this board is refused while the holder waits for it.
    auto refused = [](void* board) {
        CKvMonitorThread* waited = static_cast<CKvBoard*>(board)->m_WaitedMonitor.load();
        return waited != nullptr && waited == CKvMonitorThread::Current();
    };
    return KvCurrentWaits().lock(&m_BoardMutex, KV_MUTEX_TIMEOUT_MS, refused, this);
}

int CKvBoard::LockState() {
    return KvCurrentWaits().lock(&m_StateMutex, KV_MUTEX_TIMEOUT_MS, nullptr, nullptr);
}

unsigned CKvBoard::MonitorStarted() {
    Trace(KV_TRACE_API, "CKvBoard::MonitorStarted()\n");
    std::lock_guard<std::mutex> guard(m_MonitorLock);
    return m_pMonitorThread != nullptr ? 1 : 0;
}

bool CKvBoard::OnMonitorThread() { return CKvMonitorThread::Current() != nullptr; }

unsigned CKvBoard::WaitForMonitorEnd(CKvMonitorThread* thread, unsigned timeoutMs) {
    // Whoever holds the board mutex now waits for the thread; should the
    // thread want the mutex meanwhile, it is refused instead of waiting.
    m_WaitedMonitor.store(thread);
    m_BoardMutex.Nudge();
    unsigned rc = KvCurrentWaits().threadEnd(thread->GetThreadId(), timeoutMs);
    m_WaitedMonitor.store(nullptr);
    return rc;
}

unsigned CKvBoard::ReapEndingMonitor(unsigned timeoutMs) {
    CKvMonitorThread* ending;
    {
        std::lock_guard<std::mutex> guard(m_MonitorLock);
        ending = m_pEndingMonitor;
    }
    if (ending == nullptr) return 0;
    if (ending == CKvMonitorThread::Current()) {
        // The calling thread itself: it has left its loop only when it is
        // ending the board (MonitorEnded); then nothing runs it any more.
        std::lock_guard<std::mutex> guard(m_MonitorLock);
        if (m_pBoardEndOwner != ending) return 1;
    } else {
        unsigned rc = WaitForMonitorEnd(ending, timeoutMs);
        if (rc != 0) return rc;
    }
    {
        std::lock_guard<std::mutex> guard(m_MonitorLock);
        m_pEndingMonitor = nullptr;
    }
    delete ending;
    return 0;
}

unsigned CKvBoard::_StartMonitor() {
    Trace(KV_TRACE_API, "CKvBoard::_StartMonitor()\n");
    bool running;
    {
        std::lock_guard<std::mutex> guard(m_MonitorLock);
        running = m_pMonitorThread != nullptr;
    }
    if (running) {
        Warning("CKvBoard::_StartMonitor() - multiple monitor attempt blocked\n");
        return 1;
    }
    // A thread that did not end when last asked still holds the monitor's
    // handle and event: it must be gone before another one starts.
    unsigned rc = ReapEndingMonitor(KV_MONITOR_END_TIMEOUT_MS);
    if (rc != 0) {
        Warning(
            "CKvBoard::_StartMonitor() - previous monitor thread has not ended, "
            "error %d (%08xh)\n",
            rc, rc);
        return 1;
    }
    CKvMonitorThread* thread = new (std::nothrow) CKvMonitorThread(this);
    if (thread == nullptr) return 1;
    thread->m_Flags = 0;  // the board destroys the object, not the framework
    {
        std::lock_guard<std::mutex> guard(m_MonitorLock);
        m_pMonitorThread = thread;
    }
    if (ZelBeginThread(thread, 0, 0) == nullptr) {
        // The thread never ran: nothing else can reach the object.
        {
            std::lock_guard<std::mutex> guard(m_MonitorLock);
            m_pMonitorThread = nullptr;
        }
        delete thread;
        Error("CKvBoard::_StartMonitor() - monitor thread could not be started\n");
        return 1;
    }
    return 0;
}

unsigned CKvBoard::_StopMonitor() {
    Trace(KV_TRACE_API, "CKvBoard::_StopMonitor()\n");
    CKvMonitorThread* thread;
    {
        // From here on the thread no longer counts as the board's monitor.
        std::lock_guard<std::mutex> guard(m_MonitorLock);
        thread = m_pMonitorThread;
        m_pMonitorThread = nullptr;
        if (thread != nullptr && thread == CKvMonitorThread::Current()) m_pEndingMonitor = thread;
    }
    if (thread == nullptr) return 0;
    thread->EndThread();
    // On the thread itself: it ends once the callback that called here returns.
    if (thread == CKvMonitorThread::Current()) return 0;
    unsigned rc = WaitForMonitorEnd(thread, KV_MONITOR_END_TIMEOUT_MS);
    if (rc != 0) {
        Warning("CKvBoard::_StopMonitor() - error %d (%08xh) terminating monitor thread\n", rc, rc);
        // Still running: keep it until it has ended, never destroy it under its feet.
        std::lock_guard<std::mutex> guard(m_MonitorLock);
        m_pEndingMonitor = thread;
    } else {
        delete thread;
    }
    return 0;
}

bool CKvBoard::EndsOnOwnThread() {
    // Only a monitor thread must not wait for a monitor; the supervisor's
    // threads destroy the board at once (waiting for its monitor to end).
    CKvMonitorThread* caller = CKvMonitorThread::Current();
    if (caller == nullptr) return false;
    CKvMonitorThread* thread;
    {
        std::lock_guard<std::mutex> guard(m_MonitorLock);
        if (caller->m_pBoard == this) {
            // The board's own monitor, whoever else is stopping it meanwhile.
            thread = caller;
        } else {
            thread = m_pMonitorThread != nullptr ? m_pMonitorThread : m_pEndingMonitor;
            // Without one, or with one past its last act on the board, the
            // board ends at once (a stop that waits for its monitor holds it
            // meanwhile, for at most KV_MONITOR_END_TIMEOUT_MS).
            if (thread == nullptr || thread->m_Finished) return false;
        }
        // Stops monitoring without waiting: the thread is told to end, and
        // the rest of the board's end is its last act.
        if (thread == m_pMonitorThread) {
            m_pMonitorThread = nullptr;
            m_pEndingMonitor = thread;
        }
        m_pBoardEndOwner = thread;
    }
    thread->EndThread();
    return true;
}

void CKvBoard::MonitorEnded() {
    CKvMonitorThread* self = CKvMonitorThread::Current();
    bool owesEnd;
    {
        // Decided under the lock that EndsOnOwnThread takes: either the
        // board's end was left to this thread, or nobody leaves it to it now.
        std::lock_guard<std::mutex> guard(m_MonitorLock);
        owesEnd = m_pBoardEndOwner == self;
        if (!owesEnd) self->m_Finished = true;
    }
    if (owesEnd) OwnThreadDone();  // may destroy the board, and this thread's object with it
}

void CKvBoard::EndMonitors() {
    if (MonitorStarted() == 1) _StopMonitor();
    // A monitor that did not end when asked is waited for here without limit.
    ReapEndingMonitor(ZEL_WAIT_INFINITE);
}

void CKvBoard::Shutdown() {
    if (LockBoard() != 1) {
        Error("CKvBoard::Shutdown() - failed to lock mutex.\n");
        return;
    }
    EndMonitors();
    m_BoardMutex.Unlock();
}

// ---- Board members run on the monitor thread ---------------------------------

CZelEvent* CKvBoard::GetMonitorEvent() { return m_pMonitorEvent; }

void CKvBoard::TraceMonitor(const char* text) { Trace(KV_TRACE_API, "%s", text); }

unsigned CKvBoard::StartMonitor() {
    Trace(KV_TRACE_API, "CKvBoard::StartMonitor()\n");
    // A monitor runs while its event exists; a handle without one is left
    // from a close the driver refused, and the open below closes it.
    if (m_MonitorDriverHandle != nullptr && m_pMonitorEvent != nullptr) {
        Warning("CKvBoard::StartMonitor() - multiple monitor attempt blocked\n");
        return 1;
    }
    Trace(KV_TRACE_API, "m_MonitorDriverHandle = %d, 0x%x\n", HandleAsInt(m_MonitorDriverHandle),
          HandleAsHex(m_MonitorDriverHandle));
    unsigned rc = OpenDriver(&m_MonitorDriverHandle);
    if (rc != 0) {
        Error("CKvBoard::StartMonitor() - OpenDriver returns %d (0x%08x) for board %d\n", rc, rc,
              GetLogicalNumber());
        return 1;
    }
    uint32_t mux = 0;
    uint32_t status = kvGetMuxHandle(m_MonitorDriverHandle, &mux);
    Trace(KV_TRACE_API, "MonitorMuxHandle = %d, 0x%x\n", static_cast<int>(mux), mux);
    if (status != 0) {
        CloseDriver(&m_MonitorDriverHandle);
        Error("CKvBoard::StartMonitor() - kvGetMuxHandle returns %d (0x%08x) for board %d\n", status, status,
              GetLogicalNumber());
        return 1;
    }
    m_pMonitorEvent = new (std::nothrow) CZelEvent(static_cast<long>(static_cast<int32_t>(mux)));
    if (m_pMonitorEvent == nullptr) {
        CloseDriver(&m_MonitorDriverHandle);
        return 1;
    }
    if (BoardStartMonitoring(m_MonitorDriverHandle) != 0) {
        StopMonitor();
        return 1;
    }
    return 0;
}

unsigned CKvBoard::StopMonitor() {
    Trace(KV_TRACE_API, "CKvBoard::StopMonitor()\n");
    BoardStopMonitoring(m_MonitorDriverHandle);
    CloseDriver(&m_MonitorDriverHandle);
    delete m_pMonitorEvent;
    m_pMonitorEvent = nullptr;
    return 0;
}

void CKvBoard::Event() {
    Trace(KV_TRACE_API, "CKvBoard::Event()\n");
    // Zeroed so that a short message never shows stale bytes as fields.
    uint32_t buffer[KV_MESSAGE_SIZE / sizeof(uint32_t)] = {};
    uint32_t length = 0;
    uint32_t status = kvReceiveMessage(m_MonitorDriverHandle, buffer, KV_MESSAGE_SIZE, &length);
    if (status != 0) {
        Error("CKvBoard::Event(): kvReceiveMessage returns %d (0x%08x)\n", status, status);
        return;
    }
    uint32_t manager = buffer[0];
    if (manager == KV_MANAGER_BOARD) {
        switch (buffer[1]) {
        case KV_HEARTBEAT_LOST: Inform("Heartbeat lost\n"); break;
        case KV_HEARTBEAT_RETURNED: Inform("Heartbeat returned\n"); break;
        default: Warning("CKvBoard::Event() - unexpected event from board manager\n"); break;
        }
        return;
    }
    if (manager == KV_MANAGER_DSP) {
        __DSP_UP_MESSAGE__ message;
        static_assert(sizeof(message) <= sizeof(buffer), "a DSP message fits the receive buffer");
        memcpy(&message, buffer, sizeof(message));
        if (message.event.type != DSP_EVENT_STATUS) {
            Warning(
                "Unexpected event:\n type:      %d (0x%04x)\n length:    %d\n"
                " handle:    0x%04x\n target:    0x%04x\n timestamp: 0x%04x\n"
                " params[0]: 0x%04x\n",
                static_cast<int>(static_cast<int16_t>(message.event.type)), message.event.type,
                message.event.length, message.event.handle, message.event.target, message.event.timestamp,
                message.event.params[0]);
            return;
        }
        bool first;
        {
            std::lock_guard<std::mutex> guard(m_MonitorLock);
            if (m_pMonitorThread != CKvMonitorThread::Current()) return;  // told to end: not ours any more
            first = m_FirstStatusEvent == 1;
            if (first) m_FirstStatusEvent = 0;
        }
        StatusEvent(&message, first);
        return;
    }
    Error("CKvBoard::Event(): unknown manager %d (0x%08x)\n", manager, manager);
}

void CKvBoard::StatusEvent(__DSP_UP_MESSAGE__* message, bool first) {
    Trace(KV_TRACE_API, "CKvBoard::StatusEvent()\n");
    const __DSP_EVENT__& event = message->event;
    if (event.params[0] != KV_STATUS_TAG) {
        Error("CKvBoard::StatusEvent - Message->event.params[0] = 0x%04x\n", event.params[0]);
        return;
    }
    if (event.length > KV_STATUS_MAX_LENGTH) {
        Error("CKvBoard::StatusEvent - Message->event.length = %d\n", event.length);
        return;
    }
    const uint16_t* status = &event.params[1];
    char text[KV_STATUS_TEXT_SIZE];
    {
        std::lock_guard<std::mutex> guard(m_MonitorLock);
        if (m_pMonitorThread != CKvMonitorThread::Current()) return;  // told to end: not ours any more
        BuildStatusText(status, first);
        memcpy(m_LastStatus, status, sizeof(m_LastStatus));
        memcpy(text, m_StatusText, sizeof(text));
    }
    Inform("%s", text);
}

void CKvBoard::BuildStatusText(const uint16_t* status, bool first) {
    m_StatusText[0] = '\0';
    Append(m_StatusText, sizeof(m_StatusText), "%s", "Status event(s) -\n");
    for (const StatusItem& item : kStatusItems) {
        uint16_t now = status[item.word];
        uint16_t before = m_LastStatus[item.word];
        const char* text;
        if (item.mask == 0) {
            if (!first && now == before) continue;
            text = ThermalStateText(now);
        } else {
            if (!first && ((now ^ before) & item.mask) == 0) continue;
            text = (now & item.mask) != 0 ? item.set : item.clear;
        }
        Append(m_StatusText, sizeof(m_StatusText), item.line, text);
    }
    Append(m_StatusText, sizeof(m_StatusText), "%s", "\n");
}
