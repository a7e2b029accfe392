// The board's monitor thread: waits for driver messages and hands them to the
// board. It knows its board only as the host of the monitor's protocol.
#pragma once

#include "zel/zelframework.h"

// What a monitor thread asks of its board, on the thread itself, in this
// order: StartMonitor once (opening the monitor's own driver handle and
// event), Event for each wake-up of that event, StopMonitor once the thread
// is told to end, and MonitorEnded as its very last act.
class IKvMonitorHost {
public:
    // 0 when monitoring runs (GetMonitorEvent then answers its event).
    virtual unsigned StartMonitor() = 0;
    virtual unsigned StopMonitor() = 0;
    // The event that is signalled while a message waits; null without one.
    virtual CZelEvent* GetMonitorEvent() = 0;
    // Receives and reports one message.
    virtual void Event() = 0;
    // After the thread's loop has ended: the host may be destroyed within the
    // call, and with it the thread's object.
    virtual void MonitorEnded() = 0;
    // The thread's own traces (KV_TRACE_API); text is the whole trace.
    virtual void TraceMonitor(const char* text) = 0;

protected:
    ~IKvMonitorHost() = default;
};

class CKvMonitorThread : public CZelThread {
public:
    explicit CKvMonitorThread(IKvMonitorHost* board);
    ~CKvMonitorThread() override;

    // The framework's loop, then the host's MonitorEnded: the last act of
    // the thread on the board, after which the object may be gone.
    int Run() override;
    int InitInstance() override;
    int ExitInstance() override;
    int OnIdle(long count) override;

    // The monitor thread running on the calling thread, or null.
    static CKvMonitorThread* Current();

    IKvMonitorHost* m_pBoard;  // not owned
    CZelEvent* m_pEvent;       // the board's message event, not owned
    // Set under the board's monitor lock once the thread is past its last
    // act on the board: the board's end can no longer be left to it.
    bool m_Finished = false;
};
