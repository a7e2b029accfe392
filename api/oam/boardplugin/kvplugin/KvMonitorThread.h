// The board's monitor thread: waits for driver messages and hands them to the board.
#pragma once

#include "zel/zelframework.h"

class CKvBoard;

class CKvMonitorThread : public CZelThread {
public:
    explicit CKvMonitorThread(CKvBoard* board);
    ~CKvMonitorThread() override;

    // The framework's loop, then the board's MonitorEnded: the last act of
    // the thread on the board, after which the object may be gone.
    int Run() override;
    int InitInstance() override;
    int ExitInstance() override;
    int OnIdle(long count) override;

    CKvBoard* m_pBoard;   // not owned
    CZelEvent* m_pEvent;  // the board's message event, not owned
    // Set under the board's monitor lock once the thread is past its last
    // act on the board: the board's end can no longer be left to it.
    bool m_Finished = false;
};
