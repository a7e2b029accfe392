// A board start whose firmware image holds 15 MiB (491,520 records of 32
// bytes, the emulator's firmware header first) against a start with the
// shipped image, through the plug-in's entry points on the emulator, the
// hardware's fixed pauses replaced in both. The difference of the medians is
// what the large image costs (reading it and 491,520 download calls into the
// emulator); the goal is at most objcopy's time on the same file.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "fake_supervisor.h"
#include "kvemu.h"
#include "oam/boardplugin.h"
#include "objcopy_timer.h"
#include "tsi/tsi.h"

namespace {

const uint32_t kImageBytes = 15u << 20;

struct Fixture {
    benchimage::ScratchDirectory directory;
    std::string image = directory.Path() + "/image15m.dsp";
    long textBytes = benchimage::WriteImage(image, kImageBytes);
    std::vector<double> shipped, big, objcopy;
};
Fixture* g_Fixture = nullptr;

void NoPause(unsigned, void*) {}

uint64_t Handle(const char* board) {
    char text[32] = {};
    if (GetQualifier(0, board, "Handle", text, sizeof(text)) != 0) return 0;
    return strtoull(text, nullptr, 10);
}

// Starts and stops a board with the given image; each start's wall time goes to samples.
void StartWithImage(benchmark::State& state, const char* image, std::vector<double>* samples) {
    kvemu::Reset();
    const std::string path = g_Fixture->directory.Path() + ":" + KV_SHARE_DIR;
    setenv("WBLOAD", path.c_str(), 1);
    tsiSetSleepHook(NoPause, nullptr);
    if (Init("") != 0 || CreateBoard("b0", "KV 7400C-48") != 0 || SetKeyword(Handle("b0"), "Dsp.Image", image) != 0) {
        state.SkipWithError("the board could not be created");
    } else {
        for (auto _ : state) {
            const double start = benchimage::Now();
            const uint32_t started = StartBoard("b0");
            const double seconds = benchimage::Now() - start;
            state.PauseTiming();
            const uint32_t stopped = StopBoard("b0");
            kvtest::ClearAlerts();
            kvemu::ClearJournal();
            state.ResumeTiming();
            if (started != 0 || stopped != 0) {
                state.SkipWithError("start or stop failed");
                break;
            }
            state.SetIterationTime(seconds);
            samples->push_back(seconds);
        }
    }
    Exit();
    tsiSetSleepHook(nullptr, nullptr);
}

void BM_StartShippedImage(benchmark::State& state) { StartWithImage(state, "kv100.dsp", &g_Fixture->shipped); }

void BM_Start15MiBImage(benchmark::State& state) { StartWithImage(state, "image15m.dsp", &g_Fixture->big); }

void BM_Objcopy15MiBImage(benchmark::State& state) {
    benchimage::RunObjcopy(state, g_Fixture->image, g_Fixture->directory.Path() + "/image15m.bin", g_Fixture->objcopy);
}

BENCHMARK(BM_StartShippedImage)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(9);
BENCHMARK(BM_Start15MiBImage)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Objcopy15MiBImage)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Fixture fixture;
    if (fixture.textBytes == 0) {
        fprintf(stderr, "bigimage_bench: could not write the image\n");
        return 1;
    }
    g_Fixture = &fixture;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    if (fixture.big.empty() || fixture.shipped.empty()) return 1;
    const double extra = benchimage::Median(fixture.big) - benchimage::Median(fixture.shipped);
    const double mib = static_cast<double>(kImageBytes) / (1 << 20);
    printf("note: the 15 MiB image adds %.0f ms to a start (%.0f MiB/s of firmware, %.0f ns per download call)\n",
           extra * 1e3, mib / extra, extra * 1e9 / (kImageBytes / 32));
    if (fixture.objcopy.empty()) {
        printf("note: objcopy is not installed (package binutils); no ratio to it\n");
    } else {
        const double objcopy = benchimage::Median(fixture.objcopy);
        printf("ratio: 15 MiB image start - shipped image start / objcopy time = %.2f (goal <= 1)\n", extra / objcopy);
    }
    return 0;
}
