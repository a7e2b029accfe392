// 16 boards started and stopped from two threads amid heartbeats, status events and failing driver calls.
// Once warm (the journal full), heap, threads, descriptors and handles stay level; Exit releases them all.
// With and without WBLOAD; KV_SOAK_SECONDS sets each run's length (default 30).
#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "fixtures.h"
#include "process_usage.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned kBoards = 16, kWorkers = 2;
constexpr uint32_t kStartFailed = 0x4000010C, kStopFailed = 0x4000010D;
// Warm to last, journal records vary (some 125 kB; measured: a few kB); 85000 cycles show a 6-byte leak.
constexpr size_t kHeapTolerance = 512 * 1024;

std::string Name(unsigned board) { return "b" + std::to_string(board); }

struct Usage {
    size_t heap;
    unsigned threads, descriptors, handles;
};

Usage Measure() {
    return Usage{kvtest::HeapInUse(), kvtest::Threads(), kvtest::Descriptors(),
                 kvtest::OpenOnBoards(kBoards)};
}

class SoakTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        std::thread([] {}).join();  // a sanitizer's runtime starts a helper thread with the first one
        before = Measure();
        ASSERT_TRUE(kvtest::FreshEmulator(kBoards));
        if (!GetParam()) unsetenv("WBLOAD");
        ASSERT_EQ(0u, Init(""));
        for (unsigned b = 0; b < kBoards; ++b) ASSERT_EQ(0u, kvtest::CreateAt(b));
    }
    void TearDown() override {
        kvemu::ClearFaults();
        Exit();
        setenv("WBLOAD", KV_SHARE_DIR, 1);
    }

    // Until the deadline and a full journal; every second cycle fails one of the next 8 calls of a function,
    // each start is followed by a heartbeat and a status event.
    void Cycle(Clock::time_point deadline, bool warmUp) {
        kvtest::Silence silence;
        std::atomic<bool> done{false};
        std::vector<std::thread> workers;
        for (unsigned w = 0; w < kWorkers; ++w)
            workers.emplace_back([&, w] {
                std::minstd_rand random(w + 1 + static_cast<unsigned>(cycles));
                for (unsigned n = 0; !done; ++n) {
                    const unsigned board = w + kWorkers * (n % (kBoards / kWorkers));
                    if (n % 2 == 0)
                        kvemu::SetFault(functions[random() % functions.size()].c_str(), 0x5A,
                                        1 + random() % 8);
                    const uint32_t started = StartBoard(Name(board).c_str());
                    if (started == 0) {
                        const uint16_t status[8] = {
                            static_cast<uint16_t>(n % 4 ? 0xF : 0x9), 0x7, 0, 0, 0, 0, 0x1F, 1};
                        kvemu::SendHeartbeat(0, board, n % 3 == 0);
                        kvemu::SendStatus(0, board, status);
                    }
                    const uint32_t stopped = StopBoard(Name(board).c_str());
                    if ((started != 0 && started != kStartFailed) ||
                        (stopped != 0 && stopped != kStopFailed)) {
                        std::lock_guard<std::mutex> guard(wrongLock);
                        wrong.push_back(Name(board) + ": " + std::to_string(started) + ", " +
                                        std::to_string(stopped));
                    }
                    ++cycles;
                    kvtest::ClearAlerts();  // the supervisor's records stay small
                    pauses.Clear();
                    if (Clock::now() >= deadline && (!warmUp || kvemu::JournalSize() == 200000)) done = true;
                }
            });
        for (std::thread& worker : workers) worker.join();
    }

    // One clean start and stop each (closing handles the driver refused to close), monitors gone; measures.
    Usage Settle() {
        kvemu::ClearFaults();
        {
            kvtest::Silence silence;
            for (unsigned b = 0; b < kBoards; ++b)
                EXPECT_EQ(0u, StartBoard(Name(b).c_str()) + StopBoard(Name(b).c_str()));
        }
        EXPECT_TRUE(kvtest::WaitFor([this] { return kvtest::Threads() == before.threads; }))
            << "a thread is left";
        kvtest::ClearAlerts();
        pauses.Clear();
        return Measure();
    }

    kvtest::SleepRecorder pauses;
    Usage before{};
    std::vector<std::string> functions;
    std::atomic<unsigned long> cycles{0};
    std::mutex wrongLock;
    std::vector<std::string> wrong;
};

TEST_P(SoakTest, StartStopCyclesWithFaultsStayLevelAndExitReleasesEverything) {
    {
        kvtest::Silence silence;  // without WBLOAD the DSP has no firmware: its commands fail, and say so
        ASSERT_EQ(0u, StartBoard("b0"));
        ASSERT_TRUE(kvtest::WaitFor([] {
            return kvemu::SendHeartbeat(0, 0, false) == 0 && kvtest::AnyAlertContains("Heartbeat returned");
        }));
        ASSERT_EQ(0u, StopBoard("b0"));
        std::set<std::string> calls;  // of a start, its monitor and a stop
        for (const std::string& line : kvemu::Journal()) calls.insert(kvtest::CallOf(line));
        functions.assign(calls.begin(), calls.end());
    }
    ASSERT_GT(functions.size(), 20u);
    const char* text = getenv("KV_SOAK_SECONDS");
    const auto run = std::chrono::seconds(text != nullptr && atoi(text) > 0 ? atoi(text) : 30);
    const auto begin = Clock::now();
    Cycle(begin + run / 5, true);  // a fifth of the run at least, and until the journal is full
    const unsigned long warmCycles = cycles;
    const Usage warm = Settle();
    Cycle(begin + run, false);
    const Usage last = Settle();
    printf(
        "soak %s WBLOAD: %lu cycles (%lu after warm-up); heap %zu, %zu, %zu (%+.2f bytes per cycle); threads "
        "%u, %u, %u; descriptors %u, %u, %u (before Init, warm, last)\n",
        GetParam() ? "with" : "without", cycles.load(), cycles - warmCycles, before.heap, warm.heap,
        last.heap,
        (static_cast<double>(last.heap) - static_cast<double>(warm.heap)) /
            static_cast<double>(cycles - warmCycles),
        before.threads, warm.threads, last.threads, before.descriptors, warm.descriptors, last.descriptors);
    EXPECT_TRUE(wrong.empty()) << wrong.size()
                               << " unexpected answers (start, stop), the first: " << wrong.front();
    EXPECT_LE(last.heap, warm.heap + kHeapTolerance);
    EXPECT_EQ(warm.threads, last.threads);
    EXPECT_EQ(warm.descriptors, last.descriptors);
    EXPECT_EQ(0u, warm.handles + last.handles);
    ASSERT_EQ(0u, Exit());
    EXPECT_TRUE(kvtest::WaitFor([this] { return kvtest::Threads() == before.threads; }))
        << "a thread is left";
    EXPECT_EQ(before.descriptors, kvtest::Descriptors());
    EXPECT_EQ(0u, Measure().handles);
}

INSTANTIATE_TEST_SUITE_P(SearchPath, SoakTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "WBLOADSet" : "WBLOADUnset";
                         });

}  // namespace
