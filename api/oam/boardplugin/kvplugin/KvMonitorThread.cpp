// The board's monitor thread: the framework's thread loop around its host's
// monitor protocol. It opens nothing itself; the host (the board) opens the
// monitor's driver handle and event on this thread, reports each message and
// closes them again when the thread is told to end.
#include "KvMonitorThread.h"

namespace {

enum : int { KV_EXIT_ON_END_EVENT = 101 };

// The monitor thread running on the calling thread.
thread_local CKvMonitorThread* t_monitorThread = nullptr;

}  // namespace

CKvMonitorThread::CKvMonitorThread(IKvMonitorHost* board) : m_pBoard(board), m_pEvent(nullptr) {
    m_pBoard->TraceMonitor("CKvMonitorThread::CKvMonitorThread()\n");
}

CKvMonitorThread::~CKvMonitorThread() { m_pBoard->TraceMonitor("CKvMonitorThread::~CKvMonitorThread()\n"); }

CKvMonitorThread* CKvMonitorThread::Current() { return t_monitorThread; }

int CKvMonitorThread::Run() {
    t_monitorThread = this;
    int result = CZelThread::Run();
    IKvMonitorHost* board = m_pBoard;  // this object may be gone once the board has ended
    board->MonitorEnded();
    t_monitorThread = nullptr;
    return result;
}

int CKvMonitorThread::InitInstance() {
    m_pBoard->TraceMonitor("CKvMonitorThread::InitInstance()\n");
    // StartMonitor cleans up after itself; without an event there is nothing to wait on.
    m_pBoard->StartMonitor();
    m_pEvent = m_pBoard->GetMonitorEvent();
    return m_pEvent != nullptr ? 1 : 0;
}

int CKvMonitorThread::ExitInstance() {
    m_pBoard->TraceMonitor("CKvMonitorThread::ExitInstance()\n");
    m_pBoard->StopMonitor();
    m_pEvent = nullptr;
    return 0;
}

int CKvMonitorThread::OnIdle(long) {
    m_pBoard->TraceMonitor("CKvMonitorThread::OnIdle()\n");
    if (m_pEvent == nullptr) {
        ExitThread(KV_EXIT_ON_END_EVENT);
        return 0;
    }
    CZelEvent events[2] = {*m_pEvent, GetEndEvent()};
    unsigned result = SyncWaitForMultipleEvents(2, events, ZEL_WAIT_INFINITE);
    if (result == 0) {
        m_pBoard->TraceMonitor("CKvMonitorThread::OnIdle() - Wait_Obj_0\n");
        m_pBoard->Event();
    } else if (result == 1) {
        m_pBoard->TraceMonitor("CKvMonitorThread::OnIdle() - Wait_Obj_0+1\n");
        ExitThread(KV_EXIT_ON_END_EVENT);
    }
    return 1;
}
