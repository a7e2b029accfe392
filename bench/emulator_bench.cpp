// Cost of the emulator's BoardDspDownload: a 15 MiB firmware image downloaded
// in 32-byte records (491,520 calls) after a DSP reset, as a start does. The
// goal is about 200 ns per call, so that a board start with a big image costs
// no more than reading that image.
#include <benchmark/benchmark.h>

#include <vector>

#include "kvd/kvdriver.h"
#include "kvemu.h"
#include "bench_ratio.h"

namespace {

constexpr uint32_t kImageBytes = 15u << 20;
constexpr uint32_t kRecordBytes = 32;
constexpr double kGoalNs = 200;

void BM_DspDownload15MiB(benchmark::State& state) {
    kvemu::Reset();
    KVHANDLE handle = nullptr;
    if (kvOpenByBusDeviceFunction(0, 0, 0, &handle) != 0) {
        state.SkipWithError("the board does not open");
        return;
    }
    uint8_t record[kRecordBytes];
    for (uint32_t i = 0; i < kRecordBytes; ++i) record[i] = static_cast<uint8_t>(i * 7);
    for (auto _ : state) {
        BoardDspReset(handle);
        for (uint32_t address = 0; address < kImageBytes; address += kRecordBytes)
            if (BoardDspDownload(handle, address, record, kRecordBytes) != 0) {
                state.SkipWithError("a download failed");
                break;
            }
    }
    state.counters["ns_per_call"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * (kImageBytes / kRecordBytes),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    kvClose(handle);
    kvemu::Reset();
}

}  // namespace

BENCHMARK(BM_DspDownload15MiB)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    kvbench::MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // CPU time (milliseconds per image): the machine is shared, and the call never waits.
    double ns = reporter.Median("BM_DspDownload15MiB") * 1e6 / (kImageBytes / kRecordBytes);
    kvbench::PrintRatio("emulator BoardDspDownload time per call / 200 ns", ns, kGoalNs, 1);
    benchmark::Shutdown();
    return 0;
}
