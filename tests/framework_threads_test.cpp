// The framework's threads, mutexes and events, and its board table used from several threads at once.
#include <gtest/gtest.h>

#include <unistd.h>

#include <future>
#include <thread>

#include "emulated_board.h"
#include "tsi/tsi.h"
#include "zel/zelframework.h"
#include "zelcontrol.h"

namespace {

template <typename F>
auto Elsewhere(F f) {
    return std::async(std::launch::async, f);
}

TEST(Mutex, IsReentrantTimesOutForOtherThreadsAndGivesUpOnRequest) {
    CZelMutex mutex(0, nullptr, 0);
    auto lock = [&](unsigned ms) {
        return Elsewhere([&] { return mutex.Lock(ms) ? mutex.Unlock(), 1 : 0; }).get();
    };
    ASSERT_EQ(mutex.Lock(0xFFFFFFFF) + mutex.Lock(0), 2);
    mutex.Unlock();
    EXPECT_EQ(lock(20), 0);  // still held once
    Elsewhere([&] { mutex.Unlock(); }).get();
    EXPECT_EQ(lock(0), 0);
    static std::atomic<int> asked{0}, now{1};
    auto unlessGivenUp = [&] {
        return mutex.Lock(
            ZEL_WAIT_INFINITE, [](void*) { return ++asked, now > 0; }, nullptr);
    };
    EXPECT_EQ(Elsewhere(unlessGivenUp).get(), 0);
    now = 0;
    auto waiter = Elsewhere(unlessGivenUp);
    ASSERT_TRUE(kvtest::WaitFor([&] { return asked >= 2; }));
    now = 1;
    EXPECT_TRUE(kvtest::WaitFor([&] {
        return mutex.Nudge(), waiter.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }));
    mutex.Unlock();
    EXPECT_EQ(waiter.get() + lock(0), 1);
}

TEST(Event, ManualEventsStaySetUntilResetAndDescriptorEventsWhileReadable) {
    int fds[2];
    char c;
    ASSERT_EQ(pipe(fds), 0);
    {
        CZelEvent events[2] = {CZelEvent(), CZelEvent(static_cast<long>(fds[0]))};
        ASSERT_EQ(write(fds[1], "m", 1), 1);
        events[0].Set();
        EXPECT_EQ(SyncWaitForMultipleEvents(2, events, 0) + SyncWaitForMultipleEvents(2, events, 0), 0u);
        events[0].Reset(), events[1].Reset();
        EXPECT_EQ(SyncWaitForMultipleEvents(2, events, 0), 1u);
        ASSERT_EQ(read(fds[0], &c, 1), 1);
        EXPECT_EQ(SyncWaitForMultipleEvents(2, events, 10), ZEL_WAIT_TIMEOUT);
        CZelEvent copy = events[0];
        EXPECT_EQ((copy.Set(), SyncWaitForMultipleEvents(2, events, ZEL_WAIT_INFINITE)), 0u);
    }
    EXPECT_EQ(write(fds[1], "n", 1) + read(fds[0], &c, 1), 2);
    close(fds[0]), close(fds[1]);
    CZelEvent invalid(-1L);  // a bad descriptor fails the wait rather than spinning
    EXPECT_EQ(SyncWaitForMultipleEvents(1, &invalid, ZEL_WAIT_INFINITE), ZEL_WAIT_FAILED);
}

std::atomic<int> g_threadsAlive{0}, g_boardsAlive{0};

// Logs its steps as digits (1 init, 2 idle-exit, 3 exit); exits with 101 at idle count exitAfter (-1: waits).
struct LoggingThread : CZelThread {
    LoggingThread(int init, int exitAfter, unsigned flags) : m_Init(init), m_ExitAfter(exitAfter) {
        ++g_threadsAlive, m_Flags = flags;
    }
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

// Cases: init's answer, the idle count to exit at, whether the owner ends it -> steps, exit code.
TEST(Thread, RunsInitIdleLoopAndExitThenReportsItsEnd) {
    for (auto c : std::vector<std::vector<int>>{{1, 3, 0, 123, 101}, {1, -1, 1, 13, 7}, {0, 0, 0, 13, 7}}) {
        LoggingThread thread(c[0], c[1], 0);  // the owner destroys it
        ASSERT_EQ(ZelBeginThread(&thread, 0, 0), &thread);
        EXPECT_EQ(ZelBeginThread(&thread, 0, 0), nullptr);
        if (c[2]) thread.EndThread();
        EXPECT_EQ(tsiWaitForDestroyThread(thread.GetThreadId(), 10000), 0u);
        EXPECT_EQ(std::vector<int>({thread.steps, thread.GetExitCode()}),
                  std::vector<int>(c.begin() + 3, c.end()));
    }
    ZelFailThreadStarts(2);
    std::vector<bool> started;
    for (int i = 0; i < 3; ++i) {
        std::unique_ptr<LoggingThread> thread(new LoggingThread(0, 0, ZEL_THREAD_AUTO_DELETE));
        started.push_back(ZelBeginThread(thread.get(), 0, 0) != nullptr && thread.release());
    }
    EXPECT_EQ(started, (std::vector<bool>{false, false, true}));
}

TEST(Thread, AutoDeleteThreadDestroysItselfAndDestroyingARunningOneJoinsIt) {
    struct SelfEnding : LoggingThread {
        SelfEnding() : LoggingThread(1, 0, 0) {}
        int Run() override { return LoggingThread::Run(), delete this, 0; }
    };
    LoggingThread *self = new LoggingThread(1, 0, ZEL_THREAD_AUTO_DELETE), *selfEnding = new SelfEnding;
    auto* running = new CZelThread;
    running->m_Flags = 0;
    const unsigned long ids[3] = {self->GetThreadId(), running->GetThreadId(), selfEnding->GetThreadId()};
    ASSERT_TRUE(ZelBeginThread(self, 64 * 1024, 0) && ZelBeginThread(running, 0, 0) &&
                ZelBeginThread(selfEnding, 0, 0));
    EXPECT_EQ(tsiWaitForDestroyThread(ids[0], 10000), 0u);
    delete running;  // ends its thread and waits for it, not leaving it on a dead object
    EXPECT_EQ(tsiWaitForDestroyThread(ids[1], 0), 0u);
    ASSERT_TRUE(kvtest::WaitFor([] { return g_threadsAlive == 0; }));  // each deleted right after its end
    ZelJoinEndedThreads();
    EXPECT_EQ(tsiWaitForDestroyThread(ids[2], 0), 1u) << "the record of its end is kept for nobody";
}

// Start held until the test lets it go (99: deleted underneath); an end left to a thread of the board's own.
struct GatedBoard : CBoard {
    explicit GatedBoard(const char* name) : CBoard(name, "gated") { ++g_boardsAlive; }
    ~GatedBoard() override { deleted = true, --g_boardsAlive; }
    unsigned Start() override { return enter.set_value(), opened.wait(), deleted ? 99 : 0; }
    std::promise<void> enter, open;
    std::future<void> entered = enter.get_future(), opened = open.get_future();
    std::atomic<bool> deleted{false};
};
struct QuickBoard : GatedBoard {
    using GatedBoard::GatedBoard;
    bool EndsOnOwnThread() override {
        return std::thread([this] { OwnThreadDone(); }).join(), true;
    }
};
template <typename Board>
struct Table : CBoardPlugIn {
    Table() : CBoardPlugIn(nullptr, 0) {}
    CBoard* CreateProduct(const char* name, const char*) override { return new Board(name); }
    GatedBoard* Get(const char* name) { return dynamic_cast<GatedBoard*>(GetBoardByName(name)); }
};
unsigned StartIn(CBoard* board, void*) { return board->Start(); }
unsigned DestroyThird(CBoard*, void* plugin) {
    return static_cast<CBoardPlugIn*>(plugin)->DestroyBoard("third");
}
unsigned StartThird(CBoard*, void* plugin) { return static_cast<CBoardPlugIn*>(plugin)->StartBoard("third"); }

TEST(BoardTable, DestroyWaitsForOperationsAndHoldsInProgressWhileOtherBoardsGoOn) {
    Table<GatedBoard> plugin;
    for (const char* name : {"slow", "other"}) ASSERT_EQ(plugin.CreateBoard(name, "gated"), ZEL_OK);
    GatedBoard *slow = plugin.Get("slow"), *other = plugin.Get("other");
    auto held = Elsewhere([&] { return plugin.UseBoard("OTHER", StartIn, nullptr); });
    auto started = Elsewhere([&] { return plugin.StartBoard("slow"); });
    slow->entered.wait(), other->entered.wait();
    auto destroyed = Elsewhere([&] { return plugin.DestroyBoard("slow"); });
    auto released = Elsewhere([&] { return plugin.DestroyBoard("other"); });
    ASSERT_TRUE(
        kvtest::WaitFor([&] { return !plugin.GetBoardByName("slow") && !plugin.GetBoardByName("other"); }));
    EXPECT_EQ(plugin.CreateBoard("slow", "gated") + plugin.CreateBoard("third", "gated"), ZEL_ERR_DUPLICATE);
    EXPECT_EQ(g_boardsAlive, 3);
    other->open.set_value();
    EXPECT_EQ(std::vector<unsigned>({held.get(), released.get()}), std::vector<unsigned>({0, ZEL_OK}));
    EXPECT_EQ(g_boardsAlive, 2);
    slow->open.set_value();
    EXPECT_EQ(std::vector<unsigned>({started.get(), destroyed.get()}), std::vector<unsigned>({0, ZEL_OK}));
    EXPECT_EQ(g_boardsAlive, 1);
    EXPECT_EQ(plugin.UseBoard("third", DestroyThird, &plugin) + plugin.UseBoard("third", StartThird, &plugin),
              2 * ZEL_ERR_BUSY);
    EXPECT_EQ(plugin.DestroyBoard("third"), ZEL_OK);  // nor counts as held once the call is over
    Table<QuickBoard> quick;
    EXPECT_EQ(std::vector<unsigned>(
                  {quick.CreateBoard("q", "-"), quick.DestroyBoard("q"), quick.CreateBoard("q", "-")}),
              std::vector<unsigned>(3, ZEL_OK));
    EXPECT_EQ(g_boardsAlive, 1);  // the first quick board went, and its name with it
}

}  // namespace
