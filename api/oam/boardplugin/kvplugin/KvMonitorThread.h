// The board's monitor thread: waits for driver messages and hands them to the board.
#pragma once

#include "zel/zelframework.h"

class CKvBoard;

class CKvMonitorThread : public CZelThread {
public:
    explicit CKvMonitorThread(CKvBoard* board);
    ~CKvMonitorThread() override;

    int InitInstance() override;
    int ExitInstance() override;
    int OnIdle(long count) override;

    CKvBoard* m_pBoard;   // not owned
    CZelEvent* m_pEvent;  // the board's message event, not owned

    // How long the board waits for a monitor thread to end when it stops it
    // (milliseconds). Set only while no monitor runs; tests shorten it.
    static unsigned m_EndWaitMs;
};
