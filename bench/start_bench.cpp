// Process CPU of one start, report and stop of a KV 7400C-48 on the emulator,
// with the hardware's fixed pauses replaced by a no-op. Goal: at most 0.5 ms.
//
// The board runs with "MonitorEnable" "Enable", so each start and stop also
// starts and ends its monitor thread; the CPU time is the whole process's
// (CLOCK_PROCESS_CPUTIME_ID around StartBoard and StopBoard, monitor thread
// included), reported as the benchmark's manual time. What the supervisor
// stand-in recorded is cleared outside the measured span.
//
// The emulator's share comes from a profile, not from timing: scripts/bench
// runs this program under callgrind (when valgrind is installed) with
// collection only inside StartBoard and StopBoard, and prints the share of
// those instructions spent in the driver library's calls (the calling
// thread's; the monitor thread makes six calls per start).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>

#include "fake_supervisor.h"
#include "oam/boardplugin.h"
#include "bench_ratio.h"
#include "tsi/tsi.h"

namespace {

constexpr double kGoalMs = 0.5;

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

void BM_StartReportStop48(benchmark::State& state) {
    setenv("WBLOAD", KV_SHARE_DIR, 1);
    tsiSetSleepHook(NoPause, nullptr);
    if (Init("") != 0 || CreateBoard("b0", "KV 7400C-48") != 0 ||
        SetKeyword(Handle("b0"), "MonitorEnable", "Enable") != 0) {
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

}  // namespace

BENCHMARK(BM_StartReportStop48)->UseManualTime()->Unit(benchmark::kMicrosecond)->Repetitions(5);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    kvbench::MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // Manual time: the process CPU, in microseconds per start and stop.
    kvbench::PrintRatio("process CPU of a KV 7400C-48 start, report and stop / 0.5 ms",
                        reporter.MedianRealTime("BM_StartReportStop48"), kGoalMs * 1e3, 1);
    benchmark::Shutdown();
    return 0;
}
