// The waits in force: the framework's own, or a test's stand-in.
#include "KvWaits.h"

#include <atomic>

#include "tsi/tsi.h"
#include "zel/zelframework.h"

namespace {

int RealLock(CZelMutex* mutex, unsigned timeoutMs, bool (*giveUp)(void*), void* context) {
    return mutex->Lock(timeoutMs, giveUp, context);
}

const KvWaits kRealWaits = {RealLock, tsiWaitForDestroyThread};
std::atomic<const KvWaits*> g_waits{&kRealWaits};

}  // namespace

void KvSetWaits(const KvWaits* waits) { g_waits.store(waits != nullptr ? waits : &kRealWaits); }

const KvWaits& KvCurrentWaits() { return *g_waits.load(); }
