// Threads and their synchronisation: a re-entrant timed mutex, events that
// can be polled together with descriptors that a driver signals, and threads
// that run an idle loop until they are asked to end.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "tsi/tsi.h"
#include "zel/zelframework.h"
#include "zelcontrol.h"

// ---------------------------------------------------------------- CZelMutex
// Built on a plain mutex and a condition variable: the owner and its depth
// are explicit, so time-outs and re-entry behave the same everywhere.

struct CZelMutex::Impl {
    std::mutex lock;
    std::condition_variable freed;
    std::thread::id owner;
    unsigned long depth = 0;
};

CZelMutex::CZelMutex(int, const char*, int) : m_pImpl(new Impl) {}

CZelMutex::~CZelMutex() { delete m_pImpl; }

int CZelMutex::Lock(unsigned timeoutMs) { return Lock(timeoutMs, nullptr, nullptr); }

int CZelMutex::Lock(unsigned timeoutMs, bool (*giveUp)(void*), void* context) {
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> guard(m_pImpl->lock);
    if (m_pImpl->depth != 0 && m_pImpl->owner == self) {
        ++m_pImpl->depth;
        return 1;
    }
    auto canGo = [&] { return m_pImpl->depth == 0 || (giveUp != nullptr && giveUp(context)); };
    if (timeoutMs == ZEL_WAIT_INFINITE) {
        m_pImpl->freed.wait(guard, canGo);
    } else if (!m_pImpl->freed.wait_for(guard, std::chrono::milliseconds(timeoutMs), canGo)) {
        return 0;
    }
    if (m_pImpl->depth != 0) return 0;  // gave up
    m_pImpl->owner = self;
    m_pImpl->depth = 1;
    return 1;
}

void CZelMutex::Nudge() {
    std::lock_guard<std::mutex> guard(m_pImpl->lock);
    m_pImpl->freed.notify_all();
}

void CZelMutex::Unlock() {
    std::lock_guard<std::mutex> guard(m_pImpl->lock);
    // Only the holder can release; a stray Unlock must not free another's lock.
    if (m_pImpl->depth == 0 || m_pImpl->owner != std::this_thread::get_id()) return;
    if (--m_pImpl->depth == 0) {
        m_pImpl->owner = std::thread::id();
        // All: a waiter that gives up must not swallow the wake-up of another.
        m_pImpl->freed.notify_all();
    }
}

// ---------------------------------------------------------------- CZelEvent
// A framework event is an eventfd: readable (signalled) while its counter is
// non-zero. A descriptor event only borrows the descriptor it was made from.

struct CZelEvent::Impl {
    std::atomic<unsigned> refs{1};
    int fd = -1;
    bool owned = false;
};

CZelEvent::CZelEvent() : m_pImpl(new Impl) {
    m_pImpl->fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_pImpl->owned = m_pImpl->fd >= 0;
}

CZelEvent::CZelEvent(long fd) : m_pImpl(new Impl) {
    m_pImpl->fd = (fd >= 0 && fd <= INT_MAX) ? static_cast<int>(fd) : -1;
    m_pImpl->owned = false;
}

CZelEvent::CZelEvent(const CZelEvent& other) : m_pImpl(other.m_pImpl) {
    m_pImpl->refs.fetch_add(1, std::memory_order_relaxed);
}

CZelEvent& CZelEvent::operator=(const CZelEvent& other) {
    if (m_pImpl != other.m_pImpl) {
        other.m_pImpl->refs.fetch_add(1, std::memory_order_relaxed);
        Impl* old = m_pImpl;
        m_pImpl = other.m_pImpl;
        if (old->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            if (old->owned) close(old->fd);
            delete old;
        }
    }
    return *this;
}

CZelEvent::~CZelEvent() {
    if (m_pImpl->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        if (m_pImpl->owned) close(m_pImpl->fd);
        delete m_pImpl;
    }
}

void CZelEvent::Set() {
    if (!m_pImpl->owned) return;
    const uint64_t one = 1;
    // The counter only has to be non-zero; a full counter (EAGAIN) is still set.
    ssize_t written;
    do {
        written = write(m_pImpl->fd, &one, sizeof(one));
    } while (written < 0 && errno == EINTR);
}

void CZelEvent::Reset() {
    if (!m_pImpl->owned) return;
    uint64_t value;
    ssize_t got;
    do {
        got = read(m_pImpl->fd, &value, sizeof(value));
    } while (got < 0 && errno == EINTR);
}

int CZelEvent::GetFd() const { return m_pImpl->fd; }

unsigned SyncWaitForMultipleEvents(unsigned count, CZelEvent* events, unsigned timeoutMs) {
    if (count == 0 || events == nullptr) return ZEL_WAIT_FAILED;
    std::vector<pollfd> fds(count);
    for (unsigned i = 0; i < count; ++i) {
        fds[i].fd = events[i].GetFd();
        fds[i].events = POLLIN;
        if (fds[i].fd < 0) return ZEL_WAIT_FAILED;
    }
    const bool forever = timeoutMs == ZEL_WAIT_INFINITE;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int waitMs = -1;
        if (!forever) {
            // Rounded up, so that a wait never ends before its time.
            auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            long long ms = left.count() < 0 ? 0 : left.count();
            waitMs = ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
        }
        int ready = poll(fds.data(), count, waitMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return ZEL_WAIT_FAILED;
        }
        if (ready > 0) {
            for (unsigned i = 0; i < count; ++i)
                if (fds[i].revents & POLLIN) return i;
            // Only error conditions (closed or failed descriptors): waiting
            // again would return at once, over and over.
            return ZEL_WAIT_FAILED;
        }
        if (!forever && std::chrono::steady_clock::now() >= deadline) return ZEL_WAIT_TIMEOUT;
    }
}

// ---------------------------------------------------------------- CZelThread

namespace {
std::atomic<unsigned long> g_nextThreadId{1};

// The thread object whose Run the calling thread executes, if any.
thread_local CZelThread* t_currentThread = nullptr;

// Threads whose object was destroyed on the thread itself: they finish alone
// and are joined by ZelJoinEndedThreads.
struct EndedThreads {
    std::mutex lock;
    std::vector<std::pair<pthread_t, unsigned long>> threads;  // and their ids
};

EndedThreads& endedThreads() {
    static EndedThreads* ended = new EndedThreads;  // usable by threads ending during exit
    return *ended;
}
}  // namespace

void ZelJoinEndedThreads() {
    std::vector<std::pair<pthread_t, unsigned long>> threads;
    {
        std::lock_guard<std::mutex> guard(endedThreads().lock);
        threads.swap(endedThreads().threads);
    }
    for (const auto& thread : threads) {
        pthread_join(thread.first, nullptr);
        // Nobody waits for its end any more: the record of it is dropped, so
        // that records do not pile up over a long life.
        tsiWaitForDestroyThread(thread.second, 0);
    }
}

struct CZelThread::Impl {
    unsigned long id = 0;
    CZelEvent endEvent;
    std::atomic<bool> exitRequested{false};
    std::atomic<bool> exitCodeSet{false};
    std::atomic<int> exitCode{0};
    bool started = false;
    bool joinable = false;  // started without auto-delete: the destructor joins
    pthread_t handle{};
};

CZelThread::CZelThread() : m_Flags(ZEL_THREAD_AUTO_DELETE), m_pImpl(new Impl) {
    m_pImpl->id = g_nextThreadId.fetch_add(1);
}

CZelThread::~CZelThread() {
    if (m_pImpl->joinable) {
        if (t_currentThread == this) {
            // Destroyed by its own thread: whoever needs it gone joins it later.
            std::lock_guard<std::mutex> guard(endedThreads().lock);
            endedThreads().threads.emplace_back(pthread_self(), m_pImpl->id);
        } else {
            // Ask the loop to end (should the owner not have), then wait for it.
            m_pImpl->exitRequested.store(true);
            m_pImpl->endEvent.Set();
            pthread_join(m_pImpl->handle, nullptr);
        }
    }
    delete m_pImpl;
}

int CZelThread::Run() {
    if (InitInstance() != 0) {
        long count = 0;
        CZelEvent end = m_pImpl->endEvent;
        while (!m_pImpl->exitRequested.load()) {
            if (SyncWaitForMultipleEvents(1, &end, 0) == 0) break;
            OnIdle(count++);
        }
    }
    int result = ExitInstance();
    if (!m_pImpl->exitCodeSet.load()) m_pImpl->exitCode.store(result);
    return m_pImpl->exitCode.load();
}

int CZelThread::InitInstance() { return 1; }
int CZelThread::ExitInstance() { return 0; }

int CZelThread::OnIdle(long) {
    CZelEvent end = m_pImpl->endEvent;
    SyncWaitForMultipleEvents(1, &end, ZEL_WAIT_INFINITE);
    return 0;
}

void CZelThread::EndThread() { m_pImpl->endEvent.Set(); }

void CZelThread::ExitThread(int exitCode) {
    m_pImpl->exitCode.store(exitCode);
    m_pImpl->exitCodeSet.store(true);
    m_pImpl->exitRequested.store(true);
}

unsigned long CZelThread::GetThreadId() const { return m_pImpl->id; }
CZelEvent& CZelThread::GetEndEvent() { return m_pImpl->endEvent; }
int CZelThread::GetExitCode() const { return m_pImpl->exitCode.load(); }

namespace {

struct ThreadStart {
    CZelThread* thread;
    unsigned long id;
    bool autoDelete;
};

void* ThreadMain(void* argument) {
    ThreadStart start = *static_cast<ThreadStart*>(argument);
    delete static_cast<ThreadStart*>(argument);
    t_currentThread = start.thread;
    start.thread->Run();
    t_currentThread = nullptr;
    // Once the end is reported the owner may destroy the object, so nothing
    // of it is touched afterwards unless the thread owns it.
    tsiThreadEnded(start.id);
    if (start.autoDelete) delete start.thread;
    return nullptr;
}

}  // namespace

namespace {
std::atomic<unsigned> g_failingStarts{0};
}  // namespace

void ZelFailThreadStarts(unsigned count) { g_failingStarts.store(count); }

CZelThread* ZelBeginThread(CZelThread* thread, unsigned stackSize, unsigned) {
    if (thread == nullptr || thread->m_pImpl->started) return nullptr;
    for (unsigned failing = g_failingStarts.load(); failing != 0;)
        if (g_failingStarts.compare_exchange_weak(failing, failing - 1)) return nullptr;
    ZelJoinEndedThreads();  // threads that finished alone are gathered here too
    const bool autoDelete = (thread->m_Flags & ZEL_THREAD_AUTO_DELETE) != 0;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return nullptr;
    if (stackSize != 0) {
        size_t size = stackSize < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stackSize;
        pthread_attr_setstacksize(&attr, size);
    }
    // A thread that destroys its own object is never joined.
    if (autoDelete) pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    CZelThread::Impl* impl = thread->m_pImpl;
    auto* start = new ThreadStart{thread, impl->id, autoDelete};
    // Marked before the thread exists: a thread may destroy its object (an
    // auto-delete thread always does, an owned one may) before pthread_create
    // returns, so the object is not touched afterwards, not even read. The
    // handle goes straight into it: pthread_create stores it before the
    // thread runs.
    impl->started = true;
    if (!autoDelete) impl->joinable = true;
    int rc = pthread_create(&impl->handle, &attr, &ThreadMain, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete start;
        impl->started = false;
        impl->joinable = false;
        return nullptr;
    }
    return thread;
}
