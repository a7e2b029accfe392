// A board start whose firmware image holds 15 MiB (491,520 records of 32
// bytes, the emulator's firmware header first) against a start with the
// shipped image, through the plug-in's entry points on the emulator, the
// hardware's fixed pauses replaced in both. The difference of the medians is
// what the large image costs (reading it and 491,520 download calls into the
// emulator); the goal is at most objcopy's time on the same file. Under
// callgrind (instructions.h) it counts the instructions of whole cycles (start
// and stop) with each image instead, and objcopy's by a callgrind of its own;
// the goal is the same: the difference at most objcopy's.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "fake_supervisor.h"
#include "instructions.h"
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
    if (Init("") != 0 || CreateBoard("b0", "KV 7400C-48") != 0 ||
        SetKeyword(Handle("b0"), "Dsp.Image", image) != 0) {
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

void BM_StartShippedImage(benchmark::State& state) {
    StartWithImage(state, "kv100.dsp", &g_Fixture->shipped);
}

void BM_Start15MiBImage(benchmark::State& state) { StartWithImage(state, "image15m.dsp", &g_Fixture->big); }

void BM_Objcopy15MiBImage(benchmark::State& state) {
    benchimage::RunObjcopy(state, g_Fixture->image, g_Fixture->directory.Path() + "/image15m.bin",
                           g_Fixture->objcopy);
}

BENCHMARK(BM_StartShippedImage)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(9);
BENCHMARK(BM_Start15MiBImage)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Objcopy15MiBImage)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// The instructions of a cycle (start and stop) with the image, the mean of
// counted cycles after warm ones; the journal and the alerts are cleared
// between cycles, outside the counts. 0 when a cycle failed.
double CountCycles(const char* image, unsigned warm, unsigned counted) {
    kvemu::Reset();
    const std::string path = g_Fixture->directory.Path() + ":" + KV_SHARE_DIR;
    setenv("WBLOAD", path.c_str(), 1);
    tsiSetSleepHook(NoPause, nullptr);
    bool ok = Init("") == 0 && CreateBoard("b0", "KV 7400C-48") == 0 &&
              SetKeyword(Handle("b0"), "Dsp.Image", image) == 0;
    auto cycle = [&ok] { ok = StartBoard("b0") == 0 && StopBoard("b0") == 0 && ok; };
    double sum = 0;
    for (unsigned i = 0; ok && i < warm + counted; ++i) {
        if (i < warm)
            cycle();
        else
            sum += kvbench::CountInstructions(image, 1, cycle);
        kvtest::ClearAlerts();
        kvemu::ClearJournal();
    }
    Exit();
    tsiSetSleepHook(nullptr, nullptr);
    return ok ? sum / counted : 0;
}

int CountBothImages() {
    const double shipped = CountCycles("kv100.dsp", 1, 2);
    const double big = CountCycles("image15m.dsp", 0, 1);
    const double extra = big > 0 && shipped > 0 ? big - shipped : 0;
    if (extra > 0)
        printf(
            "note: bigimage: the 15 MiB image adds %.0f instructions to a start (%.0f per download call); "
            "a cycle with the shipped image takes %.0f\n",
            extra, extra / (kImageBytes / 32), shipped);
    if (!benchimage::ObjcopyInstalled()) {
        printf("note: bigimage: objcopy is not installed (package binutils); no ratio to it\n");
        return extra > 0 ? 0 : 1;
    }
    const double objcopy =
        kvbench::CountProgramInstructions({"objcopy", "-I", "ihex", "-O", "binary", g_Fixture->image,
                                           g_Fixture->directory.Path() + "/image15m.bin"},
                                          kvbench::ChildProfile("objcopy"));
    if (objcopy > 0) printf("note: bigimage: %.0f instructions per objcopy run\n", objcopy);
    kvbench::InstructionRatio("bigimage", "15 MiB image start - shipped image start / objcopy, instructions",
                              extra, objcopy, 1);
    return extra > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Fixture fixture;
    if (fixture.textBytes == 0) {
        fprintf(stderr, "bigimage_bench: could not write the image\n");
        return 1;
    }
    g_Fixture = &fixture;
    if (kvbench::Counting()) return CountBothImages();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    if (fixture.big.empty() || fixture.shipped.empty()) return 1;
    const double extra = benchimage::Median(fixture.big) - benchimage::Median(fixture.shipped);
    const double mib = static_cast<double>(kImageBytes) / (1 << 20);
    printf(
        "note: the 15 MiB image adds %.0f ms to a start (%.0f MiB/s of firmware, %.0f ns per download call)\n",
        extra * 1e3, mib / extra, extra * 1e9 / (kImageBytes / 32));
    if (fixture.objcopy.empty()) {
        printf("note: objcopy is not installed (package binutils); no ratio to it\n");
    } else {
        const double objcopy = benchimage::Median(fixture.objcopy);
        printf(
            "ratio: bigimage: 15 MiB image start - shipped image start / objcopy, time = %.2f (goal <= 1)\n",
            extra / objcopy);
    }
    return 0;
}
