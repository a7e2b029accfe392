// Cost of the emulator's BoardDspDownload: a 15 MiB firmware image downloaded
// in 32-byte records (491,520 calls) after a DSP reset, as a start does. The
// goal is about 200 ns per call, so that a board start with a big image costs
// no more than reading that image. Under callgrind (instructions.h) it counts
// the instructions per call instead.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench_ratio.h"
#include "instructions.h"
#include "kvd/kvdriver.h"
#include "kvemu.h"

namespace {

constexpr uint32_t kImageBytes = 15u << 20;
constexpr uint32_t kRecordBytes = 32;
constexpr double kGoalNs = 200;
// Instructions per call: the same budget, at about one instruction a nanosecond.
constexpr double kGoalInstructions = 200;

// A DSP reset and the download of a whole image; false when a call failed.
bool DownloadImage(KVHANDLE handle) {
    uint8_t record[kRecordBytes];
    for (uint32_t i = 0; i < kRecordBytes; ++i) record[i] = static_cast<uint8_t>(i * 7);
    bool ok = BoardDspReset(handle) == 0;
    for (uint32_t address = 0; ok && address < kImageBytes; address += kRecordBytes)
        ok = BoardDspDownload(handle, address, record, kRecordBytes) == 0;
    return ok;
}

void BM_DspDownload15MiB(benchmark::State& state) {
    kvemu::Reset();
    KVHANDLE handle = nullptr;
    if (kvOpenByBusDeviceFunction(0, 0, 0, &handle) != 0) {
        state.SkipWithError("the board does not open");
        return;
    }
    for (auto _ : state) {
        if (!DownloadImage(handle)) {
            state.SkipWithError("a download failed");
            break;
        }
    }
    state.counters["ns_per_call"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * (kImageBytes / kRecordBytes),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    kvClose(handle);
    kvemu::Reset();
}

// The instructions per download call, over a whole image after one that warms up.
int CountPerCall() {
    kvemu::Reset();
    KVHANDLE handle = nullptr;
    bool ok = kvOpenByBusDeviceFunction(0, 0, 0, &handle) == 0 && DownloadImage(handle);
    double image = 0;
    if (ok)
        image = kvbench::CountInstructions("a 15 MiB download", 1, [&] { ok = DownloadImage(handle) && ok; });
    const double perCall = ok ? image / (kImageBytes / kRecordBytes) : 0;
    kvbench::InstructionRatio("emulator", "emulator BoardDspDownload instructions per call / 200", perCall,
                              kGoalInstructions, 1);
    kvClose(handle);
    kvemu::Reset();
    return ok ? 0 : 1;
}

}  // namespace

BENCHMARK(BM_DspDownload15MiB)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (kvbench::Counting()) return CountPerCall();
    kvbench::MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // CPU time (milliseconds per image): the machine is shared, and the call never waits.
    double ns = reporter.Median("BM_DspDownload15MiB") * 1e6 / (kImageBytes / kRecordBytes);
    kvbench::PrintRatio("emulator", "emulator BoardDspDownload time per call / 200 ns", ns, kGoalNs, 1);
    benchmark::Shutdown();
    return 0;
}
