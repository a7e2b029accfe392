// The framework's threads, mutexes and events, and the plug-in object's board
// table used from several threads at once (run under ThreadSanitizer too).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tsi/tsi.h"
#include "zel/zelframework.h"

namespace {

// ---------------------------------------------------------------- CZelMutex

TEST(Mutex, IsReentrantAndTimesOutForOtherThreads) {
    CZelMutex mutex(0, nullptr, 0);
    ASSERT_EQ(mutex.Lock(0xFFFFFFFF), 1);
    ASSERT_EQ(mutex.Lock(0), 1);  // the holder locks again
    auto tryFromOtherThread = [&](unsigned ms) {
        int taken = -1;
        std::thread other([&] {
            taken = mutex.Lock(ms);
            if (taken == 1) mutex.Unlock();
        });
        other.join();
        return taken;
    };
    EXPECT_EQ(tryFromOtherThread(0), 0);
    EXPECT_EQ(tryFromOtherThread(20), 0);
    mutex.Unlock();
    EXPECT_EQ(tryFromOtherThread(0), 0);  // still held once
    mutex.Unlock();
    EXPECT_EQ(tryFromOtherThread(0), 1);

    // A waiter without limit gets the mutex as soon as it is released.
    ASSERT_EQ(mutex.Lock(0xFFFFFFFF), 1);
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        got = mutex.Lock(0xFFFFFFFF) == 1;
        mutex.Unlock();
    });
    mutex.Unlock();
    waiter.join();
    EXPECT_TRUE(got);
}

TEST(Mutex, ExcludesOtherThreads) {
    CZelMutex mutex(0, nullptr, 0);
    long counter = 0;  // plain: a data race here would be caught under ThreadSanitizer
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                ASSERT_EQ(mutex.Lock(0xFFFFFFFF), 1);
                ASSERT_EQ(mutex.Lock(5), 1);
                ++counter;
                mutex.Unlock();
                mutex.Unlock();
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 8000);
}

// ---------------------------------------------------------------- CZelEvent

TEST(Event, ManualResetEventStaysSetUntilReset) {
    CZelEvent events[3];
    EXPECT_EQ(SyncWaitForMultipleEvents(3, events, 0), ZEL_WAIT_TIMEOUT);
    EXPECT_EQ(SyncWaitForMultipleEvents(3, events, 10), ZEL_WAIT_TIMEOUT);
    events[2].Set();
    events[1].Set();
    events[1].Set();
    EXPECT_EQ(SyncWaitForMultipleEvents(3, events, 0), 1u);  // the lowest signalled index
    EXPECT_EQ(SyncWaitForMultipleEvents(3, events, 0), 1u);  // waiting does not reset it
    events[1].Reset();  // one Reset clears however many Sets
    EXPECT_EQ(SyncWaitForMultipleEvents(3, events, 0), 2u);
    events[2].Reset();
    events[2].Reset();
    EXPECT_EQ(SyncWaitForMultipleEvents(3, events, 0), ZEL_WAIT_TIMEOUT);

    // Copies share the event: setting one signals the other, across threads.
    CZelEvent copy;
    copy = events[0];
    CZelEvent second(copy);
    EXPECT_EQ(second.GetFd(), events[0].GetFd());
    std::thread setter([copy]() mutable { copy.Set(); });
    EXPECT_EQ(SyncWaitForMultipleEvents(1, &events[0], ZEL_WAIT_INFINITE), 0u);
    setter.join();
    copy = copy;  // self-assignment keeps the event
    EXPECT_EQ(SyncWaitForMultipleEvents(1, &copy, 0), 0u);

    EXPECT_EQ(SyncWaitForMultipleEvents(0, events, 0), ZEL_WAIT_FAILED);
    EXPECT_EQ(SyncWaitForMultipleEvents(1, nullptr, 0), ZEL_WAIT_FAILED);
}

TEST(Event, DescriptorEventIsSignalledWhileReadable) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    {
        CZelEvent events[2] = {CZelEvent(), CZelEvent(static_cast<long>(fds[0]))};
        EXPECT_EQ(events[1].GetFd(), fds[0]);
        events[1].Set();  // no effect on a descriptor event
        EXPECT_EQ(SyncWaitForMultipleEvents(2, events, 0), ZEL_WAIT_TIMEOUT);
        ASSERT_EQ(write(fds[1], "m", 1), 1);
        EXPECT_EQ(SyncWaitForMultipleEvents(2, events, 0), 1u);
        events[1].Reset();  // nor does Reset drain it
        EXPECT_EQ(SyncWaitForMultipleEvents(2, events, 0), 1u);
        char c;
        ASSERT_EQ(read(fds[0], &c, 1), 1);
        EXPECT_EQ(SyncWaitForMultipleEvents(2, events, 0), ZEL_WAIT_TIMEOUT);

        // A writer on another thread wakes a waiter without limit.
        std::thread writer([&] { EXPECT_EQ(write(fds[1], "n", 1), 1); });
        EXPECT_EQ(SyncWaitForMultipleEvents(2, events, ZEL_WAIT_INFINITE), 1u);
        writer.join();
    }
    // The event did not close the descriptor.
    char c;
    EXPECT_EQ(read(fds[0], &c, 1), 1);
    close(fds[0]);
    close(fds[1]);

    // A descriptor that is not open fails the wait rather than spinning.
    CZelEvent closed(static_cast<long>(fds[0]));
    EXPECT_EQ(SyncWaitForMultipleEvents(1, &closed, 0), ZEL_WAIT_FAILED);
    CZelEvent invalid(-1L);
    EXPECT_EQ(SyncWaitForMultipleEvents(1, &invalid, ZEL_WAIT_INFINITE), ZEL_WAIT_FAILED);
}

// ---------------------------------------------------------------- CZelThread

struct ThreadLog {
    std::mutex lock;
    std::vector<std::string> calls;
    void Add(const std::string& call) {
        std::lock_guard<std::mutex> g(lock);
        calls.push_back(call);
    }
    std::vector<std::string> Get() {
        std::lock_guard<std::mutex> g(lock);
        return calls;
    }
};

class LoggingThread : public CZelThread {
public:
    LoggingThread(ThreadLog* log, int init, int exitAfter, std::atomic<int>* alive)
        : m_Log(log), m_Init(init), m_ExitAfter(exitAfter), m_Alive(alive) {
        ++*m_Alive;
    }
    ~LoggingThread() override { --*m_Alive; }
    int InitInstance() override {
        m_Log->Add("init");
        return m_Init;
    }
    int ExitInstance() override {
        m_Log->Add("exit");
        return 7;
    }
    int OnIdle(long count) override {
        if (count == m_ExitAfter) {
            m_Log->Add("idle-exit");
            ExitThread(101);
            return 0;
        }
        if (m_ExitAfter < 0) return CZelThread::OnIdle(count);  // waits for the end event
        return 0;
    }

private:
    ThreadLog* m_Log;
    int m_Init;
    int m_ExitAfter;
    std::atomic<int>* m_Alive;
};

TEST(Thread, RunsInitIdleLoopAndExitThenReportsItsEnd) {
    struct Case {
        int init;
        int exitAfter;   // OnIdle count that calls ExitThread; -1: wait for EndThread
        bool endThread;  // the owner calls EndThread
        std::vector<std::string> calls;
        int exitCode;
    } cases[] = {
        {1, 3, false, {"init", "idle-exit", "exit"}, 101},
        {1, -1, true, {"init", "exit"}, 7},
        {0, 0, false, {"init", "exit"}, 7},  // no OnIdle when InitInstance answers 0
    };
    for (const Case& c : cases) {
        ThreadLog log;
        std::atomic<int> alive{0};
        auto* thread = new LoggingThread(&log, c.init, c.exitAfter, &alive);
        thread->m_Flags = 0;  // the owner destroys it
        ASSERT_EQ(ZelBeginThread(thread, 0, 0), thread);
        EXPECT_EQ(ZelBeginThread(thread, 0, 0), nullptr);  // started once only
        const unsigned long id = thread->GetThreadId();
        EXPECT_NE(id, 0u);
        if (c.endThread) thread->EndThread();
        EXPECT_EQ(tsiWaitForDestroyThread(id, 10000), 0u);
        EXPECT_EQ(log.Get(), c.calls);
        EXPECT_EQ(thread->GetExitCode(), c.exitCode);
        EXPECT_EQ(alive, 1);  // the object outlives its thread
        delete thread;
        EXPECT_EQ(alive, 0);
        // The id is forgotten once waited for.
        EXPECT_EQ(tsiWaitForDestroyThread(id, 0), 1u);
    }
}

TEST(Thread, AutoDeleteThreadDestroysItself) {
    ThreadLog log;
    std::atomic<int> alive{0};
    auto* thread = new LoggingThread(&log, 1, 0, &alive);
    EXPECT_EQ(thread->m_Flags, static_cast<unsigned>(ZEL_THREAD_AUTO_DELETE));
    const unsigned long id = thread->GetThreadId();
    ASSERT_EQ(ZelBeginThread(thread, 64 * 1024, 0), thread);
    EXPECT_EQ(tsiWaitForDestroyThread(id, 10000), 0u);
    for (int i = 0; i < 10000 && alive != 0; ++i) std::this_thread::yield();  // deleted right after its end
    EXPECT_EQ(alive, 0);
    EXPECT_EQ(log.Get(), (std::vector<std::string>{"init", "idle-exit", "exit"}));
}

TEST(Thread, DestroyingARunningThreadEndsAndJoinsIt) {
    // The framework's own loop waits for the end event; destroying the object
    // ends the thread and waits for it rather than leaving it on a dead object.
    auto* thread = new CZelThread;
    thread->m_Flags = 0;
    ASSERT_EQ(ZelBeginThread(thread, 0, 0), thread);
    const unsigned long id = thread->GetThreadId();
    delete thread;
    EXPECT_EQ(tsiWaitForDestroyThread(id, 0), 0u);

    // Ids are distinct and never 0; a thread never started is simply destroyed.
    CZelThread a, b;
    EXPECT_NE(a.GetThreadId(), b.GetThreadId());
    EXPECT_NE(a.GetThreadId(), 0u);
    EXPECT_EQ(tsiWaitForDestroyThread(a.GetThreadId(), 0), 1u);
    EXPECT_EQ(ZelBeginThread(nullptr, 0, 0), nullptr);
}

// ---------------------------------------------------------------- board table

// A board whose Start can be held inside the call until the test lets it go.
class GatedBoard : public CBoard {
public:
    GatedBoard(const char* name, std::atomic<int>* alive) : CBoard(name, "gated"), m_Alive(alive) { ++*m_Alive; }
    ~GatedBoard() override {
        m_Deleted = true;
        --*m_Alive;
    }
    unsigned Start() override {
        std::unique_lock<std::mutex> g(m_Lock);
        m_Inside = true;
        m_Changed.notify_all();
        m_Changed.wait(g, [this] { return m_Open; });
        m_Inside = false;
        return m_Deleted ? 99 : 0;  // would read 99 if deleted underneath
    }
    unsigned Test(unsigned) override { return 0; }
    void WaitInside() {
        std::unique_lock<std::mutex> g(m_Lock);
        m_Changed.wait(g, [this] { return m_Inside; });
    }
    void Open() {
        std::lock_guard<std::mutex> g(m_Lock);
        m_Open = true;
        m_Changed.notify_all();
    }

private:
    std::atomic<int>* m_Alive;
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    bool m_Inside = false;
    bool m_Open = false;
    std::atomic<bool> m_Deleted{false};
};

class GatedPlugIn : public CBoardPlugIn {
public:
    GatedPlugIn() : CBoardPlugIn(nullptr, 0) {}
    CBoard* CreateProduct(const char* name, const char*) override { return new GatedBoard(name, &alive); }
    std::atomic<int> alive{0};
};

TEST(BoardTable, DestroyWaitsForOperationsInProgressWhileOtherBoardsGoOn) {
    GatedPlugIn plugin;
    ASSERT_EQ(plugin.CreateBoard("slow", "gated"), ZEL_OK);
    ASSERT_EQ(plugin.CreateBoard("other", "gated"), ZEL_OK);
    auto* slow = dynamic_cast<GatedBoard*>(plugin.GetBoardByName("slow"));
    ASSERT_NE(slow, nullptr);

    std::atomic<unsigned> startResult{12345};
    std::thread starter([&] { startResult = plugin.StartBoard("slow"); });
    slow->WaitInside();

    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        EXPECT_EQ(plugin.DestroyBoard("slow"), ZEL_OK);
        destroyed = true;
    });
    // The name goes at once: new calls no longer find the board ...
    while (plugin.GetBoardByName("slow") != nullptr) std::this_thread::yield();
    EXPECT_EQ(plugin.TestBoard("slow", 0), ZEL_ERR_UNKNOWN_BOARD);
    EXPECT_EQ(plugin.CreateBoard("slow", "gated"), ZEL_ERR_DUPLICATE);  // until it is really gone
    // ... other boards are not held up by the table ...
    EXPECT_EQ(plugin.TestBoard("other", 0), ZEL_OK);
    char buffer[16];
    EXPECT_EQ(plugin.GetKeyword(uint64_t{2}, "State", buffer, sizeof(buffer)), ZEL_OK);
    // ... and the board itself lives until Start returns.
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(plugin.alive, 2);
    slow->Open();
    starter.join();
    destroyer.join();
    EXPECT_EQ(startResult, 0u);
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(plugin.alive, 1);
    EXPECT_EQ(plugin.CreateBoard("slow", "gated"), ZEL_OK);
}

TEST(BoardTable, AHeldBoardOutlivesItsDestroy) {
    GatedPlugIn plugin;
    ASSERT_EQ(plugin.CreateBoard("b0", "gated"), ZEL_OK);
    CBoard* held = plugin.AcquireBoard("B0");
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(plugin.AcquireBoard("b9"), nullptr);
    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        EXPECT_EQ(plugin.DestroyBoard("b0"), ZEL_OK);
        destroyed = true;
    });
    while (plugin.GetBoardByName("b0") != nullptr) std::this_thread::yield();
    EXPECT_EQ(plugin.AcquireBoard("b0"), nullptr);  // no new holds on a dying board
    EXPECT_EQ(held->Test(0), ZEL_OK);               // still whole
    EXPECT_FALSE(destroyed);
    plugin.ReleaseBoard(held);
    destroyer.join();
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(plugin.alive, 0);
    plugin.ReleaseBoard(nullptr);
}

class PlainPlugIn : public CBoardPlugIn {
public:
    PlainPlugIn() : CBoardPlugIn(nullptr, 0) {}
    CBoard* CreateProduct(const char* name, const char* product) override { return new CBoard(name, product); }
};

TEST(BoardTable, ConcurrentCreateDestroyAndKeywordCallsStayConsistent) {
    PlainPlugIn plugin;
    const char* names[] = {"b0", "b1", "b2", "b3"};
    std::atomic<int> created{0}, destroyedCount{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            char buffer[64];
            for (int i = 0; i < 300; ++i) {
                const char* name = names[(i + t) % 4];
                switch ((i * 7 + t) % 5) {
                case 0:
                    if (plugin.CreateBoard(name, "p") == ZEL_OK) ++created;
                    break;
                case 1:
                    if (plugin.DestroyBoard(name) == ZEL_OK) ++destroyedCount;
                    break;
                case 2: {
                    uint64_t handle = plugin.GetBoardHandle(name);
                    unsigned r = plugin.SetKeyword(handle, "State", "BOOTED");
                    EXPECT_TRUE(r == ZEL_OK || r == ZEL_ERR_UNKNOWN_BOARD || handle == 0) << r;
                    r = plugin.GetKeyword(handle, "Number", buffer, sizeof(buffer));
                    EXPECT_TRUE(r == ZEL_OK || r == ZEL_ERR_UNKNOWN_BOARD || handle == 0) << r;
                    break;
                }
                case 3: {
                    unsigned r = plugin.StartBoard(name);
                    EXPECT_TRUE(r == ZEL_ERR_NOT_SUPPORTED || r == ZEL_ERR_UNKNOWN_BOARD) << r;
                    break;
                }
                default:
                    plugin.GetQualifier(uint64_t{0}, name, "Handle", buffer, sizeof(buffer));
                    plugin.GetKeyword(uint64_t{0}, "Products.Count", buffer, sizeof(buffer));
                }
            }
        });
    for (auto& t : threads) t.join();
    int present = 0;
    std::vector<long> numbers;
    for (const char* name : names) {
        CBoard* board = plugin.GetBoardByName(name);
        if (board == nullptr) continue;
        ++present;
        char buffer[16];
        ASSERT_EQ(board->GetKeywordValue("Number", buffer, sizeof(buffer)), ZEL_OK);
        numbers.push_back(std::stol(buffer));
    }
    EXPECT_EQ(created - destroyedCount, present);
    // Every board got a number of its own.
    for (size_t i = 0; i < numbers.size(); ++i) {
        EXPECT_GE(numbers[i], 0);
        for (size_t j = i + 1; j < numbers.size(); ++j) EXPECT_NE(numbers[i], numbers[j]);
    }
    EXPECT_EQ(plugin.Exit(), ZEL_OK);
}

}  // namespace
