// The waits with a time-out that boards make, and their time-outs.
#pragma once

class CZelMutex;

enum : unsigned {
    KV_MUTEX_TIMEOUT_MS = 60000,       // every wait for the board or state mutex
    KV_MONITOR_END_TIMEOUT_MS = 5000,  // a stop's (or start's) wait for a monitor thread to end
};

// The waits, replaceable as a whole: a seam through which tests see the
// time-out each wait is given, or let a wait expire at once on a clock of
// their own. The board and state mutexes are waited for KV_MUTEX_TIMEOUT_MS,
// the end of a monitor thread KV_MONITOR_END_TIMEOUT_MS (the destruction of a
// board waits without limit, 0xFFFFFFFF).
struct KvWaits {
    // As CZelMutex::Lock with a give-up test: 1 when taken, 0 when not.
    int (*lock)(CZelMutex* mutex, unsigned timeoutMs, bool (*giveUp)(void*), void* context);
    // As tsiWaitForDestroyThread: 0 when the thread has ended, non-zero when not.
    unsigned (*threadEnd)(unsigned long threadId, unsigned timeoutMs);
};
// Sets the waits of every board; null restores the real ones. The record
// must stay valid while boards may use it.
void KvSetWaits(const KvWaits* waits);
// The waits in force.
const KvWaits& KvCurrentWaits();
