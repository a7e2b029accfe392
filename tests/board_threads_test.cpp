// Entry points from many threads at once, Exit during calls, alert callbacks that call back in (also TSan).
#include <algorithm>
#include <atomic>
#include <future>
#include <random>
#include <thread>

#include "fake_waits.h"
#include "fixtures.h"

namespace {

const unsigned kBoards = 4;
const uint32_t kNotInitialised = 0x40000002;
const uint16_t kStatus[8] = {0xF, 0x7, 0, 0, 0, 0, 0x1F, 1};
using kvtest::Handle;
using kvtest::WaitFor;

std::string BoardName(unsigned slot) { return "b" + std::to_string(slot); }
uint32_t RequestRemoval(const std::string& board) { return kvtest::SendAlert(0x40112002, board); }
std::string State(const std::string& board) { return kvtest::Keyword(Handle(board), "State"); }

void WithWatchdog(std::chrono::seconds limit, const std::function<void()>& body) {
    std::future<void> done = std::async(std::launch::async, body);
    if (done.wait_for(limit) == std::future_status::ready) return done.get();
    fprintf(stderr, "watchdog: still running after %lld s\n", static_cast<long long>(limit.count()));
    std::abort();
}

// The first alert with that text from that board (any board when empty) calls back in once.
void OnFirst(const std::string& text, const std::string& board, std::function<void()> call) {
    auto once = std::make_shared<std::atomic<bool>>(false);
    kvtest::SetAlertCallback([=](const kvtest::Alert& alert) {
        if (alert.text == text && (board.empty() || alert.source == board) && !once->exchange(true)) call();
    });
}

class BoardThreadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kvtest::FreshEmulator(kBoards));
        ASSERT_EQ(0u, Init(""));
    }
    void TearDown() override {
        kvtest::SetAlertCallback(nullptr);
        Exit();
        EXPECT_EQ(0u, kvtest::OpenOnBoards(kBoards));
    }
    void Boot(unsigned count) {
        kvtest::ClearAlerts();
        for (unsigned slot = 0; slot < count; ++slot) {
            ASSERT_EQ(0u, kvtest::CreateAt(slot) + StartBoard(BoardName(slot).c_str()));
            ASSERT_TRUE(WaitFor([slot] {
                kvemu::SendHeartbeat(0, slot, false);
                for (const kvtest::Alert& alert : kvtest::Alerts())
                    if (alert.source == BoardName(slot) && alert.text == "Heartbeat returned\n") return true;
                return false;
            }));
        }
        kvtest::ClearAlerts();
    }
    // Waits until some thread waits for a monitor thread to end (the time-out of a stop's wait).
    static void WaitForAStopsWait(kvtest::FakeWaits& waits) {
        WaitFor([&] {
            auto given = waits.Waits();
            return std::count(given.begin(), given.end(),
                              std::make_pair<const void*, unsigned>(nullptr, 5000)) != 0;
        });
    }

    kvtest::SleepRecorder pauses;
};

// Each call answers one of its codes, nothing waits for a monitor that cannot end, Exit leaves nothing open.
TEST_F(BoardThreadsTest, RandomCallsFromManyThreadsAndCallbacks) {
    WithWatchdog(std::chrono::seconds(120), [] {
        std::atomic<bool> feeding{true};
        std::atomic<unsigned> wrong{0}, callbacks{0}, started{0}, alerts{0};
        auto expect = [&wrong](uint32_t rc, uint32_t failure, const char* what) {
            if (rc == 0 || rc == kNotInitialised || rc == failure) return;
            fprintf(stderr, "%s answered 0x%08x\n", what, rc);
            ++wrong;
        };
        // 0 start, 1 stop, 2 destroy, 3 keyword, 4 removal request, 5 get, 6 create, 7 detection, 8 handle.
        auto call = [&](unsigned which, const std::string& board, unsigned coin) {
            char buffer[64];
            switch (which) {
            case 0: {
                const uint32_t rc = StartBoard(board.c_str());
                started += rc == 0;
                return expect(rc, 0x4000010C, "StartBoard");
            }
            case 1: return expect(StopBoard(board.c_str()), 0x4000010D, "StopBoard");
            case 2: return expect(DestroyBoard(board.c_str()), 0x40000106, "DestroyBoard");
            case 3:
                return expect(SetKeyword(Handle(board), coin % 2 ? "MonitorEnable" : "HighBatteryEnable",
                                         coin % 4 < 2 ? "Enable" : "Disable"),
                              0x40000108, "SetKeyword");
            case 4: return expect(RequestRemoval(board), 1, "AlertReceive");
            case 5:
                return expect(GetKeyword(Handle(board), "State", buffer, sizeof(buffer)), 0x40000107, "Get");
            case 6: {
                // Another thread may destroy the new board before its slot is set: SetKeyword's failure.
                const uint32_t rc = kvtest::CreateAt(board[1] - '0');
                return expect(rc == 0x40000108 ? 0 : rc, 0x40000105, "CreateBoard");
            }
            case 7: return expect(DetectBoards(), 0, "DetectBoards");
            default:
                return expect(GetQualifier(0, board.c_str(), "Handle", buffer, sizeof(buffer)), 0x40000109,
                              "Handle");
            }
        };
        thread_local unsigned depth = 0;
        kvtest::SetAlertCallback([&](const kvtest::Alert& alert) {
            const unsigned n = alerts++;
            if (depth != 0 || n % 4 != 0) return;
            ++depth, ++callbacks;
            if (n % 28 == 8) {
                expect(Exit(), 0x40000102, "Exit in callback");
            } else {
                call(n / 4 % 6, alert.source, n / 8);
            }
            --depth;
        });
        std::thread feeder([&] {
            for (unsigned i = 0; feeding; ++i) {
                kvemu::SendHeartbeat(0, i % kBoards, i % 2 == 0);
                kvemu::SendStatus(0, (i + 1) % kBoards, kStatus);
                std::this_thread::yield();
            }
        });
        std::vector<std::thread> workers;
        for (unsigned t = 0; t < 4; ++t)
            workers.emplace_back([&, t] {
                std::minstd_rand random(t + 1);
                for (unsigned i = 0; i < 250; ++i) {
                    static const unsigned kMix[] = {0, 0, 0, 1, 1, 2, 3, 3,
                                                    4, 5, 6, 6, 7, 8, 8};  // as callers do
                    if (t == 0 && i % 60 == 30)
                        expect(Exit(), 0, "Exit");  // now and then the end of everything
                    call(kMix[random() % 15], BoardName(random() % kBoards), random());
                    char buffer[64];
                    if (GetKeyword(0, "Products", buffer, sizeof(buffer)) == kNotInitialised) {
                        expect(Init(""), 0x40000101, "Init");
                    }
                }
            });
        for (std::thread& w : workers) w.join();
        feeding = false;
        feeder.join();
        kvtest::SetAlertCallback(nullptr);
        Exit();
        EXPECT_EQ(0u, wrong.load());
        EXPECT_GT(callbacks.load(), 0u);
        EXPECT_GT(started.load(), 0u);
        for (const char* text :
             {"terminating monitor thread", "multiple monitor attempt blocked", "kvReceiveMessage returns"})
            EXPECT_FALSE(kvtest::AnyAlertContains(text)) << text;
    });
}

TEST_F(BoardThreadsTest, CallbacksOnTheMonitorThreadNeverWaitForIt) {
    const struct {
        const char* what;
        std::function<uint32_t()> call;
        uint32_t result;
        const char* state;  // of b0 afterwards; null: b0 is gone
    } cases[] = {
        {"StopBoard", [] { return StopBoard("b0"); }, 0, "IDLE"},
        {"MonitorEnable", [] { return SetKeyword(Handle("b0"), "MonitorEnable", "Disable"); }, 0, "BOOTED"},
        {"removal request", [] { return RequestRemoval("b0"); }, 0, "BOOTED"},
        {"Exit", [] { return Exit(); }, 0x40000102, "BOOTED"},
        // Gone from every look-up at once, its name taken until the thread has ended.
        {"DestroyBoard",
         []() -> uint32_t {
             uint32_t rc = DestroyBoard("b0");
             return rc != 0 ? rc : (Handle("b0") != 0 || CreateBoard("b0", "KV 7400C-48") != 0x40000105);
         },
         0, nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Boot(1);
        pauses.Clear();
        std::promise<uint32_t> answered;
        OnFirst("Heartbeat lost\n", "", [&] { answered.set_value(c.call()); });
        ASSERT_EQ(0, kvemu::SendHeartbeat(0, 0, true));
        std::future<uint32_t> result = answered.get_future();
        ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(10)));
        EXPECT_EQ(c.result, result.get());
        kvtest::SetAlertCallback(nullptr);
        if (c.state == nullptr) {
            EXPECT_TRUE(WaitFor([] { return kvtest::CreateAt(0) == 0; }));
        } else {
            EXPECT_EQ(c.state, State("b0"));
        }
        // The monitor (only the monitor) has ended; a stop paused only for the hardware.
        EXPECT_TRUE(WaitFor([&] { return kvtest::OpenOnBoards(kBoards) == (c.result == 0 ? 0u : 1u); }));
        EXPECT_EQ(std::vector<unsigned>(c.state != nullptr && std::string(c.state) == "IDLE" ? 1 : 0, 1200u),
                  pauses.Pauses());
        EXPECT_FALSE(kvtest::AnyAlertContains("terminating monitor thread"));
        ASSERT_EQ(0u, DestroyBoard("b0"));
    }
}

TEST_F(BoardThreadsTest, CallbacksDuringAnOperationOfTheSameBoardAreRefusedAtOnce) {
    ASSERT_EQ(0u, kvtest::CreateAt(0));
    std::vector<uint32_t> results;
    kvtest::SetAlertCallback([&](const kvtest::Alert& alert) {
        if (alert.code != 0x40002002) return;
        char state[32] = {};
        results = {StartBoard("b0"), StopBoard("b0"), DestroyBoard("b0"), Exit(),
                   GetKeyword(Handle("b0"), "State", state, sizeof(state))};
        EXPECT_STREQ("BOOTING", state);
    });
    EXPECT_EQ(0u, StartBoard("b0"));
    EXPECT_EQ((std::vector<uint32_t>{0x4000010C, 0x4000010D, 0x40000106, 0x40000102, 0}), results);
    EXPECT_EQ("BOOTED", State("b0"));
}

TEST_F(BoardThreadsTest, MonitorThreadIsRefusedTheMutexItsHolderWaitsWith) {
    Boot(1);
    kvtest::FakeWaits waits;  // real waits, recorded
    std::promise<uint32_t> answered;
    OnFirst("Heartbeat lost\n", "", [&] {
        WaitForAStopsWait(waits);
        answered.set_value(SetKeyword(Handle("b0"), "HighBatteryEnable", "Disable"));
    });
    ASSERT_EQ(0, kvemu::SendHeartbeat(0, 0, true));
    ASSERT_TRUE(WaitFor([] { return kvtest::AnyAlertContains("Heartbeat lost"); }));
    EXPECT_EQ(0u, StopBoard("b0"));
    EXPECT_EQ(0x40000108u, answered.get_future().get());
    EXPECT_EQ("Enable",
              kvtest::Keyword(Handle("b0"), "HighBatteryEnable"));  // the refused change kept the value
    EXPECT_FALSE(kvtest::AnyAlertContains("terminating monitor thread"));
    EXPECT_TRUE(kvtest::AnyAlertContains("CKvBoard::SetKeywordValue() - failed to lock mutex.\n"));
}

TEST_F(BoardThreadsTest, ExitWaitsForCallsInProgressAndLaterCallsFindNoPlugin) {
    ASSERT_EQ(0u, kvtest::CreateAt(0));
    std::promise<void> inside, release;
    std::shared_future<void> released = release.get_future().share();
    kvtest::SetAlertCallback([&](const kvtest::Alert& alert) {
        if (alert.code != 0x40002002) return;
        inside.set_value();
        released.wait();
    });
    auto started = std::async(std::launch::async, [] { return StartBoard("b0"); });
    inside.get_future().wait();
    auto exited = std::async(std::launch::async, [] { return Exit(); });
    char buffer[32];
    EXPECT_TRUE(
        WaitFor([&] { return GetKeyword(0, "Products", buffer, sizeof(buffer)) == kNotInitialised; }));
    EXPECT_EQ(0x40000101u, Init(""));  // not while Exit runs
    EXPECT_EQ(std::future_status::timeout, exited.wait_for(std::chrono::milliseconds(0)));
    release.set_value();
    EXPECT_EQ(0u, started.get());
    EXPECT_EQ(0u, exited.get());
    EXPECT_EQ(0u, kvtest::OpenOnBoards(kBoards));
    EXPECT_EQ(kNotInitialised, Exit());
    ASSERT_EQ(0u, Init(""));
}

// All callbacks inside _oamAlertNotify at once; each destroyed board leaves the look-ups, its thread ends it.
TEST_F(BoardThreadsTest, MonitorCallbacksDestroyingEachOthersBoardsNeverWaitForEachOther) {
    const struct {
        const char* what;
        unsigned boards;     // b0 .. b(boards-1), each destroying the next
        unsigned callbacks;  // boards whose callbacks destroy
    } cases[] = {{"pair", 2, 2}, {"ring of three", 3, 3}, {"target without monitor", 2, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WithWatchdog(std::chrono::seconds(60), [&] {
            Boot(c.boards);
            if (c.callbacks < c.boards) {  // the last board's monitor stops: it is destroyed at once
                ASSERT_EQ(0u, SetKeyword(Handle(BoardName(c.boards - 1)), "MonitorEnable", "Disable"));
            }
            std::atomic<unsigned> inside{0};
            std::vector<std::promise<std::pair<uint32_t, uint64_t>>> answers(c.callbacks);
            std::vector<std::atomic<bool>> once(c.callbacks);
            kvtest::SetAlertCallback([&](const kvtest::Alert& alert) {
                if (alert.text != "Heartbeat lost\n") return;
                const unsigned from = static_cast<unsigned>(std::stoul(alert.source.substr(1)));
                if (from >= c.callbacks || once[from].exchange(true)) return;
                ++inside;  // every callback is inside before any destroys
                WaitFor([&] { return inside.load() == c.callbacks; });
                const std::string target = BoardName((from + 1) % c.boards);
                uint32_t rc = DestroyBoard(target.c_str());
                answers[from].set_value({rc, Handle(target)});
            });
            for (unsigned slot = 0; slot < c.callbacks; ++slot)
                ASSERT_EQ(0, kvemu::SendHeartbeat(0, slot, true));
            for (auto& answer : answers) {
                std::future<std::pair<uint32_t, uint64_t>> result = answer.get_future();
                ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(30)));
                EXPECT_EQ(std::make_pair(0u, uint64_t{0}), result.get());  // gone from the look-ups at once
            }
            kvtest::SetAlertCallback(nullptr);
            for (unsigned slot = 0; slot < c.boards; ++slot) {
                if (slot != 0 || c.callbacks == c.boards) {
                    EXPECT_TRUE(WaitFor([slot] { return kvtest::CreateAt(slot) == 0; })) << slot;
                }
                EXPECT_EQ(0u, DestroyBoard(BoardName(slot).c_str()));
            }
            EXPECT_TRUE(WaitFor([] { return kvtest::OpenOnBoards(kBoards) == 0; }));
            EXPECT_FALSE(kvtest::AnyAlertContains("terminating monitor thread"));
        });
    }
}

// b1's callback ends its monitor, then waits for b0's callback to destroy b1: left to b1's ending thread.
TEST_F(BoardThreadsTest, ABoardWhoseMonitorIsEndingIsDestroyedFromAnotherMonitorWithoutWaiting) {
    Boot(2);
    std::promise<uint32_t> destroyed;
    std::shared_future<uint32_t> answer = destroyed.get_future().share();
    std::promise<bool> answeredInTime;
    std::atomic<bool> once{false};
    kvtest::SetAlertCallback([&](const kvtest::Alert& alert) {
        if (alert.text != "Heartbeat lost\n") return;
        if (alert.source == "b1" && !once.exchange(true)) {
            SetKeyword(Handle("b1"), "MonitorEnable", "Disable");  // b1's monitor now ends once this returns
            kvemu::SendHeartbeat(0, 0, true);
            answeredInTime.set_value(answer.wait_for(std::chrono::seconds(10)) == std::future_status::ready);
        } else if (alert.source == "b0") {
            destroyed.set_value(DestroyBoard("b1"));
        }
    });
    ASSERT_EQ(0, kvemu::SendHeartbeat(0, 1, true));
    EXPECT_TRUE(answeredInTime.get_future().get());
    EXPECT_EQ(0u, answer.get());
    kvtest::SetAlertCallback(nullptr);
    EXPECT_TRUE(WaitFor([] { return kvtest::CreateAt(1) == 0; }));  // ended by its thread, its name free
}

// Refused with no driver call: at once on that thread itself, after the bounded wait on any other thread.
TEST_F(BoardThreadsTest, StartWhileTheLastMonitorThreadRunsIsRefusedBeforeTouchingTheBoard) {
    Boot(1);
    kvtest::FakeWaits waits;
    std::promise<std::vector<uint32_t>> answered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    OnFirst("Heartbeat lost\n", "", [&] {
        uint32_t stopped = StopBoard("b0");
        kvemu::ClearJournal();
        uint32_t started = StartBoard("b0");
        answered.set_value({stopped, started, static_cast<uint32_t>(kvemu::Journal().size())});
        released.wait();  // the thread stays alive, told to end
    });
    ASSERT_EQ(0, kvemu::SendHeartbeat(0, 0, true));
    EXPECT_EQ((std::vector<uint32_t>{0, 0x4000010C, 0}), answered.get_future().get());
    waits.Clear();
    waits.Expiring = true;
    kvemu::ClearJournal();
    EXPECT_EQ(0x4000010Cu, StartBoard("b0"));
    EXPECT_EQ(kvtest::Texts{}, kvemu::Journal());
    EXPECT_EQ(5000u, waits.Clock.load());
    EXPECT_EQ("IDLE", State("b0"));
    EXPECT_EQ(0x01, kvtest::Register(0xA0002) & 0x1F);  // feeds off, ringer (active low) off
    EXPECT_EQ(2u, kvtest::Messages(kvtest::kError).size());
    EXPECT_TRUE(kvtest::AnyAlertContains(
        "CKvBoard::Start() - previous monitor thread has not ended, error 1 (00000001h)\n"));
    waits.Expiring = false;
    release.set_value();
    kvtest::SetAlertCallback(nullptr);
    EXPECT_EQ(0u, StartBoard("b0"));  // waits for the thread's end, then starts
    EXPECT_EQ("BOOTED", State("b0"));
}

// The destruction is left to the thread (returns at once); the board ends once the stop has let go of it.
TEST_F(BoardThreadsTest, OwnMonitorDestroysItsBoardWhileAStopWaitsForIt) {
    Boot(1);
    kvtest::FakeWaits waits;  // real waits, recorded
    std::promise<uint32_t> answered;
    OnFirst("Heartbeat lost\n", "", [&] {
        WaitForAStopsWait(waits);
        answered.set_value(DestroyBoard("b0"));
    });
    ASSERT_EQ(0, kvemu::SendHeartbeat(0, 0, true));
    ASSERT_TRUE(WaitFor([] { return kvtest::AnyAlertContains("Heartbeat lost"); }));
    EXPECT_EQ(0u, StopBoard("b0"));
    EXPECT_EQ(0u, answered.get_future().get());
    kvtest::SetAlertCallback(nullptr);
    EXPECT_FALSE(kvtest::AnyAlertContains("terminating monitor thread"));
    EXPECT_TRUE(WaitFor([] { return kvtest::CreateAt(0) == 0; }));  // ended, its name free
}

}  // namespace
