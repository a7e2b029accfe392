// CPU cost of a full start, report and stop of a 48-station board on the
// emulator, with the hardware's fixed pauses replaced by a no-op.
//
// The board runs with "MonitorEnable" "Enable", so each iteration also starts
// and ends its monitor thread. CPU time is the whole process's (the monitor
// thread included). Target: under 2 ms of CPU per start and stop; the counter
// "ratio_to_2ms_target" is the measured cost over that target (below 1 meets it).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>

#include "fake_supervisor.h"
#include "kvemu.h"
#include "oam/boardplugin.h"
#include "tsi/tsi.h"

namespace {

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
    kvemu::Reset();
    setenv("WBLOAD", KV_SHARE_DIR, 1);
    tsiSetSleepHook(NoPause, nullptr);
    if (Init("") != 0 || CreateBoard("b0", "KV 7400C-48") != 0 ||
        SetKeyword(Handle("b0"), "MonitorEnable", "Enable") != 0) {
        state.SkipWithError("the board could not be created");
        Exit();
        tsiSetSleepHook(nullptr, nullptr);
        return;
    }
    double cpu = 0;
    for (auto _ : state) {
        double before = ProcessCpuSeconds();
        uint32_t started = StartBoard("b0");
        uint32_t stopped = StopBoard("b0");
        cpu += ProcessCpuSeconds() - before;
        if (started != 0 || stopped != 0) {
            state.SkipWithError("start or stop failed");
            break;
        }
        state.PauseTiming();
        kvtest::ClearAlerts();  // the recorded alerts would otherwise grow without bound
        state.ResumeTiming();
    }
    if (state.iterations() > 0) {
        double perIteration = cpu / static_cast<double>(state.iterations());
        state.counters["cpu_ms_per_start_stop"] = perIteration * 1e3;
        state.counters["ratio_to_2ms_target"] = perIteration / 2e-3;
    }
    Exit();
    tsiSetSleepHook(nullptr, nullptr);
}

}  // namespace

BENCHMARK(BM_StartReportStop48)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
