// Sixteen boards started at once from sixteen threads, with the hardware's
// real pauses, against one board started alone. Boards must never wait on
// each other: the 16-board wall time over the single-board wall time (its
// ratio line, goal 1.2) shows whether they do.
//
// Only the starts are timed; the boards are stopped in parallel between
// measurements. Each iteration costs several seconds of real pauses, so the
// benchmark runs a few iterations only.
//
// What it measures is waiting, which instruction counts cannot show; its goal
// stays on the wall clock. Under callgrind (instructions.h) it counts, as a
// note, the instructions of sixteen boards started and stopped together
// against sixteen times one board, pauses replaced: work that parallel starts
// add (contention) shows there.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_ratio.h"
#include "fake_supervisor.h"
#include "instructions.h"
#include "kvemu.h"
#include "oam/boardplugin.h"
#include "tsi/tsi.h"

namespace {

const unsigned kBoards = 16;

// Mean wall times of the starts, in seconds, for the ratio line (0: not measured).
double g_single = 0;
double g_sixteen = 0;

std::string BoardName(unsigned slot) { return "b" + std::to_string(slot); }

uint64_t Handle(const std::string& board) {
    char text[32] = {};
    if (GetQualifier(0, board.c_str(), "Handle", text, sizeof(text)) != 0) return 0;
    return strtoull(text, nullptr, 10);
}

// Runs operation(slot) for count boards from count threads released together;
// answers the wall time from the release until the last one returned, in
// seconds, and the number of operations that failed.
template <typename Operation>
double RunTogether(unsigned count, Operation operation, unsigned* failures) {
    std::mutex lock;
    std::condition_variable go;
    bool released = false;
    std::vector<unsigned> results(count, 0);
    std::vector<std::thread> threads;
    for (unsigned slot = 0; slot < count; ++slot) {
        threads.emplace_back([&, slot] {
            {
                std::unique_lock<std::mutex> guard(lock);
                go.wait(guard, [&] { return released; });
            }
            results[slot] = operation(slot);
        });
    }
    auto begin = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> guard(lock);
        released = true;
    }
    go.notify_all();
    for (std::thread& t : threads) t.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    for (unsigned r : results)
        if (r != 0) ++*failures;
    return seconds;
}

// Sixteen boards in slots 0 to 15; false when one could not be made.
bool CreateBoards() {
    kvemu::Reset();
    for (unsigned slot = 1; slot < kBoards; ++slot) kvemu::AddBoard(0, slot);
    setenv("WBLOAD", KV_SHARE_DIR, 1);
    bool ready = Init("") == 0;
    for (unsigned slot = 0; ready && slot < kBoards; ++slot) {
        std::string name = BoardName(slot);
        ready = CreateBoard(name.c_str(), "KV 7400C-48") == 0 &&
                SetKeyword(Handle(name), "Location.PCI.Slot", std::to_string(slot).c_str()) == 0;
    }
    return ready;
}

void BM_SixteenBoardsAgainstOne(benchmark::State& state) {
    if (!CreateBoards()) {
        state.SkipWithError("the boards could not be created");
        Exit();
        return;
    }
    auto start = [](unsigned slot) { return StartBoard(BoardName(slot).c_str()); };
    auto stop = [](unsigned slot) { return StopBoard(BoardName(slot).c_str()); };

    double single = 0;
    double sixteen = 0;
    unsigned failures = 0;
    for (auto _ : state) {
        double one = RunTogether(1, start, &failures);
        RunTogether(1, stop, &failures);
        double all = RunTogether(kBoards, start, &failures);
        RunTogether(kBoards, stop, &failures);
        kvtest::ClearAlerts();
        if (failures != 0) {
            state.SkipWithError("a start or stop failed");
            break;
        }
        single += one;
        sixteen += all;
        state.SetIterationTime(all);
    }
    if (failures == 0 && state.iterations() > 0) {
        double n = static_cast<double>(state.iterations());
        state.counters["single_start_s"] = single / n;
        state.counters["sixteen_starts_s"] = sixteen / n;
        state.counters["ratio_16_to_1"] = sixteen / single;
        g_single = single / n;
        g_sixteen = sixteen / n;
    }
    Exit();
}

void NoPause(unsigned, void*) {}

// The instructions of one board started and stopped alone and of sixteen
// started and stopped together, each after a round that warms up.
int CountRounds() {
    tsiSetSleepHook(NoPause, nullptr);
    unsigned failures = CreateBoards() ? 0 : 1;
    auto start = [](unsigned slot) { return StartBoard(BoardName(slot).c_str()); };
    auto stop = [](unsigned slot) { return StopBoard(BoardName(slot).c_str()); };
    auto round = [&](unsigned count) {
        RunTogether(count, start, &failures);
        RunTogether(count, stop, &failures);
        kvtest::ClearAlerts();
    };
    double one = 0, sixteen = 0;
    if (failures == 0) {
        round(1);
        one = kvbench::CountInstructions("one board", 1, [&] { round(1); });
        round(kBoards);
        sixteen = kvbench::CountInstructions("sixteen boards", 1, [&] { round(kBoards); });
    }
    if (failures == 0 && one > 0 && sixteen > 0)
        std::printf(
            "note: parallel: instructions of 16 boards started and stopped together / 16 x one board alone = "
            "%.3f (%.0f against %.0f)\n",
            sixteen / (kBoards * one), sixteen, kBoards * one);
    else
        std::printf("note: parallel: the instructions could not be counted\n");
    Exit();
    tsiSetSleepHook(nullptr, nullptr);
    return failures == 0 ? 0 : 1;
}

}  // namespace

BENCHMARK(BM_SixteenBoardsAgainstOne)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (kvbench::Counting()) return CountRounds();
    benchmark::RunSpecifiedBenchmarks();
    kvbench::PrintRatio("parallel",
                        "16 boards started from 16 threads / one board alone (wall clock, real pauses)",
                        g_sixteen, g_single, 1.2);
    if (g_single > 0)
        std::printf("note: one board alone %.3f s, 16 boards at once %.3f s\n", g_single, g_sixteen);
    return 0;
}
