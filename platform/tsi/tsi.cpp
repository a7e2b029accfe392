// Portability library: case-insensitive compares, pauses with a test hook,
// and the record of ended threads that tsiWaitForDestroyThread waits on.
#include "tsi/tsi.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

int LowerAscii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

// The compare of tsiStricmp and tsiStrnicmp: equal bytes need no folding, so
// only bytes that differ are folded (and are then never both the end).
inline int CompareFolded(const char* a, const char* b, size_t count) {
    if (a == b) return 0;
    if (a == nullptr) return -1;
    if (b == nullptr) return 1;
    for (size_t i = 0; i < count; ++i) {
        const unsigned char ca = static_cast<unsigned char>(a[i]);
        const unsigned char cb = static_cast<unsigned char>(b[i]);
        if (ca == cb) {
            if (ca == 0) return 0;
            continue;
        }
        const int la = LowerAscii(ca);
        const int lb = LowerAscii(cb);
        if (la != lb) return la - lb;
    }
    return 0;
}

// The hook and its context are replaced together, so they live in one record
// that is swapped atomically. Records are kept for the life of the process (a
// pause on another thread may still be reading the previous one); a hook set
// again reuses its record, so there are only ever a handful.
struct SleepHook {
    tsiSleepHook hook;
    void* context;
};

std::atomic<const SleepHook*> g_sleepHook{nullptr};

struct ThreadEnds {
    std::mutex lock;
    std::condition_variable ended;
    std::set<unsigned long> ids;
};

ThreadEnds& threadEnds() {
    static ThreadEnds* ends = new ThreadEnds;  // usable by threads ending during exit
    return *ends;
}

}  // namespace

extern "C" {

int tsiStricmp(const char* a, const char* b) { return CompareFolded(a, b, static_cast<size_t>(-1)); }

int tsiStrnicmp(const char* a, const char* b, size_t count) { return CompareFolded(a, b, count); }

void tsiSleepMs(unsigned ms) {
    const SleepHook* hook = g_sleepHook.load(std::memory_order_acquire);
    if (hook != nullptr && hook->hook != nullptr) {
        hook->hook(ms, hook->context);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void tsiSetSleepHook(tsiSleepHook hook, void* context) {
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    // Identical hooks reuse their record; others get a new one that is kept
    // (a pause in progress on another thread may still be reading the old one).
    // Never destroyed, so the records stay reachable until the process ends.
    static std::vector<SleepHook*>* records = new std::vector<SleepHook*>;
    if (hook == nullptr) {
        g_sleepHook.store(nullptr, std::memory_order_release);
        return;
    }
    for (SleepHook* r : *records)
        if (r->hook == hook && r->context == context) {
            g_sleepHook.store(r, std::memory_order_release);
            return;
        }
    SleepHook* record = new SleepHook{hook, context};
    records->push_back(record);
    g_sleepHook.store(record, std::memory_order_release);
}

void tsiThreadEnded(unsigned long threadId) {
    ThreadEnds& ends = threadEnds();
    {
        std::lock_guard<std::mutex> guard(ends.lock);
        ends.ids.insert(threadId);
    }
    ends.ended.notify_all();
}

unsigned tsiWaitForDestroyThread(unsigned long threadId, unsigned timeoutMs) {
    ThreadEnds& ends = threadEnds();
    std::unique_lock<std::mutex> guard(ends.lock);
    auto hasEnded = [&] { return ends.ids.count(threadId) != 0; };
    if (timeoutMs == 0xFFFFFFFFu) {
        ends.ended.wait(guard, hasEnded);
    } else if (!ends.ended.wait_for(guard, std::chrono::milliseconds(timeoutMs), hasEnded)) {
        return 1;
    }
    ends.ids.erase(threadId);
    return 0;
}

}  // extern "C"
