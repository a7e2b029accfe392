// The cost of the entry points' gate (the guard that lets Exit wait for calls
// in progress): one thread reads a board keyword through the GetKeyword entry
// point and, as the reference, through the plug-in object directly, which is
// the same call without the gate. Goal: the gate adds at most 5 % of the
// time; under callgrind (instructions.h), at most 3 % of the instructions.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "bench_ratio.h"
#include "fake_supervisor.h"
#include "instructions.h"
#include "kvboardplugin.h"
#include "kvemu.h"
#include "oam/boardplugin.h"

namespace {

uint64_t g_handle = 0;

void BM_GetKeywordEntryPoint(benchmark::State& state) {
    char value[64];
    for (auto _ : state) benchmark::DoNotOptimize(GetKeyword(g_handle, "State", value, sizeof(value)));
}

void BM_GetKeywordPluginObject(benchmark::State& state) {
    char value[64];
    for (auto _ : state)
        benchmark::DoNotOptimize(boardPlugin->GetKeyword(g_handle, "State", value, sizeof(value)));
}

BENCHMARK(BM_GetKeywordEntryPoint)->Repetitions(5);
BENCHMARK(BM_GetKeywordPluginObject)->Repetitions(5);

// The instructions of one call each way, after calls that warm both up.
void CountBothWays() {
    constexpr unsigned kCalls = 20000;
    char value[64];
    auto entryPoint = [&value] { GetKeyword(g_handle, "State", value, sizeof(value)); };
    auto pluginObject = [&value] { boardPlugin->GetKeyword(g_handle, "State", value, sizeof(value)); };
    for (unsigned i = 0; i < 100; ++i) {
        entryPoint();
        pluginObject();
    }
    const double gated = kvbench::CountInstructions("GetKeyword through the entry point", kCalls, entryPoint);
    const double direct =
        kvbench::CountInstructions("GetKeyword through the plug-in object", kCalls, pluginObject);
    kvbench::InstructionRatio("guard",
                              "GetKeyword instructions through the entry point / through the plug-in object",
                              gated, direct, 1.03);
    std::printf("note: guard: %.1f instructions through the entry point, %.1f through the plug-in object\n",
                gated, direct);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    kvemu::Reset();
    setenv("WBLOAD", KV_SHARE_DIR, 1);
    char text[32] = {};
    if (Init("") != 0 || CreateBoard("b0", "KV 7400C-48") != 0 ||
        GetQualifier(0, "b0", "Handle", text, sizeof(text)) != 0) {
        std::fprintf(stderr, "the board could not be created\n");
        return 1;
    }
    g_handle = strtoull(text, nullptr, 10);
    if (kvbench::Counting()) {
        CountBothWays();
        Exit();
        return 0;
    }
    kvbench::MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    kvbench::PrintRatio("guard", "GetKeyword time through the entry point / through the plug-in object",
                        reporter.Median("BM_GetKeywordEntryPoint"),
                        reporter.Median("BM_GetKeywordPluginObject"), 1.05);
    Exit();
    return 0;
}
