// The framework's threads, mutexes and events, and the board table used from several threads at once.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "emulated_board.h"
#include "tsi/tsi.h"
#include "zel/zelframework.h"

namespace {

TEST(Mutex, IsReentrantTimesOutForOtherThreadsAndExcludesThem) {
    CZelMutex mutex(0, nullptr, 0);
    auto lockFromOtherThread = [&](unsigned ms) {
        return std::async(std::launch::async, [&] { return mutex.Lock(ms) == 1 ? mutex.Unlock(), 1 : 0; })
            .get();
    };
    ASSERT_EQ(mutex.Lock(0xFFFFFFFF), 1);
    ASSERT_EQ(mutex.Lock(0), 1);  // the holder locks again
    mutex.Unlock();
    EXPECT_EQ(lockFromOtherThread(20), 0);  // still held once
    mutex.Unlock();
    EXPECT_EQ(lockFromOtherThread(0), 1);

    long counter = 0;  // plain: a data race here would be caught under ThreadSanitizer
    auto count = [&] {
        for (int i = 0; i < 2000; ++i)
            if (mutex.Lock(0xFFFFFFFF) == 1) ++counter, mutex.Unlock();
    };
    std::thread first(count), second(count);
    first.join(), second.join();
    EXPECT_EQ(counter, 4000);
}

TEST(Event, ManualEventsStaySetUntilResetAndDescriptorEventsWhileReadable) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    char c;
    {
        CZelEvent events[2] = {CZelEvent(), CZelEvent(static_cast<long>(fds[0]))};
        ASSERT_EQ(write(fds[1], "m", 1), 1);
        events[0].Set();
        EXPECT_EQ(SyncWaitForMultipleEvents(2, events, 0), 0u);  // the lowest signalled index
        EXPECT_EQ(SyncWaitForMultipleEvents(2, events, 0), 0u);  // waiting does not reset it
        events[0].Reset();
        EXPECT_EQ(SyncWaitForMultipleEvents(2, events, 0), 1u);
        ASSERT_EQ(read(fds[0], &c, 1), 1);
        EXPECT_EQ(SyncWaitForMultipleEvents(2, events, 10), ZEL_WAIT_TIMEOUT);
        CZelEvent copy = events[0];  // copies share the event
        auto setter = std::async(std::launch::async, [copy]() mutable { copy.Set(); });
        EXPECT_EQ(SyncWaitForMultipleEvents(2, events, ZEL_WAIT_INFINITE), 0u);
        events[0].Reset();
        auto writer = std::async(std::launch::async, [&] { return write(fds[1], "n", 1); });
        EXPECT_EQ(SyncWaitForMultipleEvents(2, events, ZEL_WAIT_INFINITE), 1u);
    }
    EXPECT_EQ(read(fds[0], &c, 1), 1);  // the event did not close the descriptor
    close(fds[0]), close(fds[1]);
    CZelEvent invalid(-1L);  // a bad descriptor fails the wait rather than spinning
    EXPECT_EQ(SyncWaitForMultipleEvents(1, &invalid, ZEL_WAIT_INFINITE), ZEL_WAIT_FAILED);
}

std::atomic<int> g_threadsAlive{0}, g_boardsAlive{0};

// Logs steps as digits (1 init, 2 idle-exit, 3 exit); exits with 101 at idle count exitAfter (-1: as the
// default).
struct LoggingThread : CZelThread {
    LoggingThread(int init, int exitAfter) : m_Init(init), m_ExitAfter(exitAfter) { ++g_threadsAlive; }
    ~LoggingThread() override { --g_threadsAlive; }
    int InitInstance() override { return steps = steps * 10 + 1, m_Init; }
    int ExitInstance() override { return steps = steps * 10 + 3, 7; }
    int OnIdle(long count) override {
        if (count == m_ExitAfter) steps = steps * 10 + 2, ExitThread(101);
        return m_ExitAfter < 0 ? CZelThread::OnIdle(count) : 0;
    }
    std::atomic<int> steps{0};
    const int m_Init, m_ExitAfter;
};

TEST(Thread, RunsInitIdleLoopAndExitThenReportsItsEnd) {
    struct Case {
        int init, exitAfter;
        bool endThread;
        int steps, exitCode;
    } cases[] = {{1, 3, false, 123, 101},
                 {1, -1, true, 13, 7},
                 {0, 0, false, 13, 7}};  // no OnIdle when InitInstance is 0
    for (const Case& c : cases) {
        LoggingThread thread(c.init, c.exitAfter);
        thread.m_Flags = 0;  // the owner destroys it
        ASSERT_EQ(ZelBeginThread(&thread, 0, 0), &thread);
        EXPECT_EQ(ZelBeginThread(&thread, 0, 0), nullptr);  // started once only
        if (c.endThread) thread.EndThread();
        EXPECT_EQ(tsiWaitForDestroyThread(thread.GetThreadId(), 10000), 0u);
        EXPECT_EQ(thread.steps, c.steps);
        EXPECT_EQ(thread.GetExitCode(), c.exitCode);
    }
}

TEST(Thread, AutoDeleteThreadDestroysItselfAndDestroyingARunningOneJoinsIt) {
    auto* self = new LoggingThread(1, 0);
    const unsigned long id = self->GetThreadId();
    ASSERT_EQ(ZelBeginThread(self, 64 * 1024, 0), self);
    EXPECT_EQ(tsiWaitForDestroyThread(id, 10000), 0u);
    EXPECT_TRUE(kvtest::WaitFor([] { return g_threadsAlive == 0; }));  // deleted right after its end
    auto* running = new CZelThread;
    running->m_Flags = 0;
    ASSERT_EQ(ZelBeginThread(running, 0, 0), running);
    const unsigned long runningId = running->GetThreadId();
    delete running;  // ends its thread and waits for it, not leaving it on a dead object
    EXPECT_EQ(tsiWaitForDestroyThread(runningId, 0), 0u);

    // An owned thread whose object its own thread destroys (as a monitor that
    // ends its board does): joined later, and nothing of it is kept after that.
    struct SelfEnding : LoggingThread {
        SelfEnding() : LoggingThread(1, 0) { m_Flags = 0; }
        int Run() override { return LoggingThread::Run(), delete this, 0; }
    };
    auto* selfEnding = new SelfEnding;
    const unsigned long selfId = selfEnding->GetThreadId();
    ASSERT_EQ(ZelBeginThread(selfEnding, 0, 0), selfEnding);
    ASSERT_TRUE(kvtest::WaitFor([] { return g_threadsAlive == 0; }));
    ZelJoinEndedThreads();
    EXPECT_EQ(tsiWaitForDestroyThread(selfId, 0), 1u) << "the record of its end is kept for nobody";
}

// A board whose Start can be held inside the call until the test lets it go.
struct GatedBoard : CBoard {
    explicit GatedBoard(const char* name) : CBoard(name, "gated") { ++g_boardsAlive; }
    ~GatedBoard() override { deleted = true, --g_boardsAlive; }
    unsigned Start() override {
        return enter.set_value(), opened.wait(), deleted ? 99 : 0;
    }  // 99: deleted underneath
    unsigned Test(unsigned) override { return 0; }
    std::promise<void> enter, open;
    std::future<void> entered = enter.get_future(), opened = open.get_future();
    std::atomic<bool> deleted{false};
};

struct GatedPlugIn : CBoardPlugIn {
    GatedPlugIn() : CBoardPlugIn(nullptr, 0) {}
    CBoard* CreateProduct(const char* name, const char*) override { return new GatedBoard(name); }
};

TEST(BoardTable, DestroyWaitsForOperationsAndHoldsInProgressWhileOtherBoardsGoOn) {
    GatedPlugIn plugin;
    for (const char* name : {"slow", "other"}) ASSERT_EQ(plugin.CreateBoard(name, "gated"), ZEL_OK);
    auto* slow = dynamic_cast<GatedBoard*>(plugin.GetBoardByName("slow"));
    auto* other = dynamic_cast<GatedBoard*>(plugin.GetBoardByName("other"));
    auto held = std::async(std::launch::async, [&] {  // a hold outside the board operations
        return plugin.UseBoard(
            "OTHER", [](CBoard* b, void*) { return b->Start(); }, nullptr);
    });
    auto started = std::async(std::launch::async, [&] { return plugin.StartBoard("slow"); });
    slow->entered.wait(), other->entered.wait();
    auto destroyed = std::async(std::launch::async, [&] { return plugin.DestroyBoard("slow"); });
    auto released = std::async(std::launch::async, [&] { return plugin.DestroyBoard("other"); });
    while (plugin.GetBoardByName("slow") != nullptr ||
           plugin.GetBoardByName("other") != nullptr)  // names go at once
        std::this_thread::yield();
    EXPECT_EQ(plugin.CreateBoard("slow", "gated"), ZEL_ERR_DUPLICATE);  // until it is really gone
    ASSERT_EQ(plugin.CreateBoard("third", "gated"), ZEL_OK);            // the table is not held up
    EXPECT_EQ(g_boardsAlive, 3);  // each board lives until its operation returns or its hold is given back
    other->open.set_value();
    EXPECT_EQ(held.get(), 0u);
    EXPECT_EQ(released.get(), ZEL_OK);
    EXPECT_EQ(g_boardsAlive, 2);
    slow->open.set_value();
    EXPECT_EQ(started.get(), 0u);
    EXPECT_EQ(destroyed.get(), ZEL_OK);
    EXPECT_EQ(g_boardsAlive, 1);
    auto destroyInside = [](CBoard*, void* p) {
        return static_cast<CBoardPlugIn*>(p)->DestroyBoard("third");
    };
    EXPECT_EQ(plugin.UseBoard("third", destroyInside, &plugin), ZEL_ERR_BUSY);  // never waits for itself
    EXPECT_EQ(plugin.DestroyBoard("third"), ZEL_OK);  // nor counts as held once the call is over
}

TEST(BoardTable, ConcurrentCreateDestroyAndKeywordCallsStayConsistent) {
    GatedPlugIn plugin;  // its boards' Start is never called here
    const char* names[] = {"b0", "b1", "b2", "b3"};
    std::atomic<int> created{0}, destroyedCount{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            char buffer[64];
            for (int i = 0; i < 300; ++i) {
                const char* name = names[(i + t) % 4];
                const uint64_t handle = plugin.GetBoardHandle(name);
                switch ((i * 7 + t) % 3) {
                case 0: created += plugin.CreateBoard(name, "p") == ZEL_OK; break;
                case 1: destroyedCount += plugin.DestroyBoard(name) == ZEL_OK; break;
                case 2:
                    for (unsigned r :
                         {plugin.SetKeyword(handle, "State", "BOOTED"), plugin.TestBoard(name, 0),
                          plugin.GetKeyword(handle, "Number", buffer, sizeof(buffer))})
                        EXPECT_TRUE(r == ZEL_OK || r == ZEL_ERR_UNKNOWN_BOARD || handle == 0) << r;
                }
            }
        });
    for (auto& t : threads) t.join();
    std::set<std::string> numbers;  // every board left has a number of its own
    char number[16];
    for (const char* name : names)
        if (CBoard* b = plugin.GetBoardByName(name); b && b->GetKeywordValue("Number", number, 16) == ZEL_OK)
            numbers.insert(number);
    EXPECT_EQ(created - destroyedCount, static_cast<int>(numbers.size()));
    EXPECT_EQ(g_boardsAlive, static_cast<int>(numbers.size()));
}

// A board whose end is left to a thread of its own that is quicker than the
// table: the thread lets go of it before DestroyBoard has seen the answer.
TEST(BoardTable, ABoardLeftToItsOwnThreadEndsEvenWhenThatThreadEndsFirst) {
    struct QuickBoard : GatedBoard {
        using GatedBoard::GatedBoard;
        bool EndsOnOwnThread() override {
            std::thread([this] { OwnThreadDone(); }).join();
            return true;
        }
    };
    struct QuickPlugIn : CBoardPlugIn {
        QuickPlugIn() : CBoardPlugIn(nullptr, 0) {}
        CBoard* CreateProduct(const char* name, const char*) override { return new QuickBoard(name); }
    } plugin;
    ASSERT_EQ(plugin.CreateBoard("quick", "p"), ZEL_OK);
    EXPECT_EQ(plugin.DestroyBoard("quick"), ZEL_OK);
    EXPECT_EQ(g_boardsAlive, 0);
    EXPECT_EQ(plugin.CreateBoard("quick", "p"), ZEL_OK);  // the name is free again
}

}  // namespace
