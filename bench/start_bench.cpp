// Process CPU of one start, report and stop of a KV 7400C-48 on the emulator,
// with the hardware's fixed pauses replaced by a no-op. Goal: at most 0.5 ms.
//
// The board runs with "MonitorEnable" "Enable", so each start and stop also
// starts and ends its monitor thread; the CPU time is the whole process's
// (CLOCK_PROCESS_CPUTIME_ID around StartBoard and StopBoard, monitor thread
// included), reported as the benchmark's manual time. What the supervisor
// stand-in recorded is cleared outside the measured span.
//
// Under callgrind (instructions.h) it counts the instructions of a cycle
// instead, the whole process's (monitor thread included), over
// kCountedCycles cycles after kWarmCycles; goal: at most 1.0 M. The emulator's
// share comes from another profile: scripts/bench also runs this program
// under callgrind with collection only inside StartBoard and StopBoard, and
// prints the share of those instructions spent in the driver library's calls
// (the calling thread's; the monitor thread makes six calls per start).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>

#include "bench_ratio.h"
#include "fake_supervisor.h"
#include "instructions.h"
#include "oam/boardplugin.h"
#include "tsi/tsi.h"

namespace {

constexpr double kGoalMs = 0.5;
constexpr double kGoalInstructions = 1.0e6;
constexpr unsigned kWarmCycles = 3;
constexpr unsigned kCountedCycles = 10;

void NoPause(unsigned, void*) {}

uint64_t Handle(const char* board) {
    char text[32] = {};
    if (GetQualifier(0, board, "Handle", text, sizeof(text)) != 0) return 0;
    return strtoull(text, nullptr, 10);
}

double ProcessCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The board every run uses, its pauses replaced; false when it could not be made.
bool CreateTheBoard() {
    setenv("WBLOAD", KV_SHARE_DIR, 1);
    tsiSetSleepHook(NoPause, nullptr);
    return Init("") == 0 && CreateBoard("b0", "KV 7400C-48") == 0 &&
           SetKeyword(Handle("b0"), "MonitorEnable", "Enable") == 0;
}

void BM_StartReportStop48(benchmark::State& state) {
    if (!CreateTheBoard()) {
        state.SkipWithError("the board could not be created");
    } else {
        for (auto _ : state) {
            double before = ProcessCpuSeconds();
            uint32_t started = StartBoard("b0");
            uint32_t stopped = StopBoard("b0");
            state.SetIterationTime(ProcessCpuSeconds() - before);
            if (started != 0 || stopped != 0) {
                state.SkipWithError("start or stop failed");
                break;
            }
            kvtest::ClearAlerts();  // the recorded alerts would otherwise grow without bound
        }
    }
    Exit();
    tsiSetSleepHook(nullptr, nullptr);
}

BENCHMARK(BM_StartReportStop48)->UseManualTime()->Unit(benchmark::kMicrosecond)->Repetitions(5);

// The instructions of a cycle, the whole process's.
int CountInstructionsOfACycle() {
    bool ok = CreateTheBoard();
    for (unsigned i = 0; ok && i < kWarmCycles; ++i) ok = StartBoard("b0") == 0 && StopBoard("b0") == 0;
    kvtest::ClearAlerts();
    double cycle = 0;
    if (ok) {
        cycle = kvbench::CountInstructions("start, report and stop", kCountedCycles, [&ok] {
            ok = StartBoard("b0") == 0 && StopBoard("b0") == 0 && ok;
        });
    }
    if (!ok) cycle = 0;
    kvbench::InstructionRatio("start", "instructions of a KV 7400C-48 start, report and stop / 1.0 M", cycle,
                              kGoalInstructions, 1);
    if (cycle > 0) std::printf("note: start: %.0f instructions per cycle (whole process)\n", cycle);
    Exit();
    tsiSetSleepHook(nullptr, nullptr);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (kvbench::Counting()) return CountInstructionsOfACycle();
    kvbench::MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // Manual time: the process CPU, in microseconds per start and stop.
    kvbench::PrintRatio("start", "process CPU of a KV 7400C-48 start, report and stop / 0.5 ms",
                        reporter.MedianRealTime("BM_StartReportStop48"), kGoalMs * 1e3, 1);
    benchmark::Shutdown();
    return 0;
}
