// Waits for the boards' waits seam (KvSetWaits, KvWaits.h). Every wait's time-out is recorded with what it
// waited for (a mutex, or null for the end of a thread). While Expiring is set, a wait that cannot end at
// once expires at once and the test's clock moves on by the time-out it was given; waits without limit always
// really wait.
#pragma once

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "KvWaits.h"
#include "tsi/tsi.h"
#include "zel/zelframework.h"

namespace kvtest {

class FakeWaits {
public:
    FakeWaits() { Clear(), KvSetWaits(&kWaits); }
    ~FakeWaits() { KvSetWaits(nullptr); }
    FakeWaits(const FakeWaits&) = delete;
    FakeWaits& operator=(const FakeWaits&) = delete;

    static inline std::atomic<bool> Expiring{false};
    static inline std::atomic<unsigned long long> Clock{0};  // milliseconds of waits that expired

    using Given = std::vector<std::pair<const void*, unsigned>>;
    static Given Waits() {
        std::lock_guard<std::mutex> guard(s_Lock);
        return s_Given;
    }
    static void Clear() {
        std::lock_guard<std::mutex> guard(s_Lock);
        s_Given.clear();
        Expiring = false;
        Clock = 0;
    }

private:
    static void Record(const void* what, unsigned ms) {
        std::lock_guard<std::mutex> guard(s_Lock);
        s_Given.emplace_back(what, ms);
    }
    static bool Fake(unsigned ms) { return Expiring && ms != 0xFFFFFFFFu; }
    static int Lock(CZelMutex* mutex, unsigned ms, bool (*giveUp)(void*), void* context) {
        Record(mutex, ms);
        if (!Fake(ms)) return mutex->Lock(ms, giveUp, context);
        int taken = mutex->Lock(0, giveUp, context);
        if (!taken) Clock += ms;
        return taken;
    }
    static unsigned ThreadEnd(unsigned long id, unsigned ms) {
        Record(nullptr, ms);
        if (!Fake(ms)) return tsiWaitForDestroyThread(id, ms);
        unsigned rc = tsiWaitForDestroyThread(id, 0);
        if (rc != 0) Clock += ms;
        return rc;
    }

    static inline std::mutex s_Lock;
    static inline Given s_Given;
    static constexpr KvWaits kWaits = {Lock, ThreadEnd};
};

}  // namespace kvtest
