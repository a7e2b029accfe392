// Board look-up in the framework: GetQualifier(0, name, "Handle") (by name)
// and GetKeyword(handle, "State") (by handle) on the first and on the last
// board, with 1 board and with 256 (every logical number), median of 5.
// Goal: calls on the last of 256 boards within 1.1 x of calls on the first
// (by time), within 1.02 x (by instructions, under callgrind: instructions.h);
// the figures with 1 board are shown beside them.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_ratio.h"
#include "fake_supervisor.h"
#include "instructions.h"
#include "kvemu.h"
#include "oam/boardplugin.h"

namespace {

std::vector<std::string> g_names;
std::vector<uint64_t> g_handles;

uint64_t Handle(const std::string& name) {
    char text[32] = {};
    if (GetQualifier(0, name.c_str(), "Handle", text, sizeof(text)) != 0) return 0;
    return strtoull(text, nullptr, 10);
}

// Makes the plug-in hold exactly count boards, b000 to b255 at most (names of
// one length, so that only the look-up differs between boards).
bool Boards(size_t count) {
    if (g_names.size() == count) return true;
    Exit();
    g_names.clear();
    g_handles.clear();
    if (Init("") != 0) return false;
    for (size_t i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "b%03u", static_cast<unsigned>(i % 1000));
        g_names.push_back(name);
        if (CreateBoard(g_names.back().c_str(), "KV 7400C-48") != 0) return false;
        g_handles.push_back(Handle(g_names.back()));
    }
    kvtest::ClearAlerts();
    return true;
}

// range(0): boards held; range(1): 0 the first board, 1 the last.
void BM_ByName(benchmark::State& state) {
    if (!Boards(static_cast<size_t>(state.range(0)))) return state.SkipWithError("boards not created");
    const std::string& name = state.range(1) ? g_names.back() : g_names.front();
    char value[32];
    for (auto _ : state)
        benchmark::DoNotOptimize(GetQualifier(0, name.c_str(), "Handle", value, sizeof(value)));
}

void BM_ByHandle(benchmark::State& state) {
    if (!Boards(static_cast<size_t>(state.range(0)))) return state.SkipWithError("boards not created");
    const uint64_t handle = state.range(1) ? g_handles.back() : g_handles.front();
    char value[32];
    for (auto _ : state) benchmark::DoNotOptimize(GetKeyword(handle, "State", value, sizeof(value)));
}

BENCHMARK(BM_ByName)->Args({1, 0})->Args({256, 0})->Args({256, 1})->Repetitions(5);
BENCHMARK(BM_ByHandle)->Args({1, 0})->Args({256, 0})->Args({256, 1})->Repetitions(5);

// The instructions of one call of each kind, on the first board of 1 and on
// the first and the last board of 256.
bool CountLookups() {
    constexpr unsigned kCalls = 20000;
    char value[32];
    double byName[3] = {}, byHandle[3] = {};  // 1 board, first of 256, last of 256
    for (unsigned i = 0; i < 3; ++i) {
        if (!Boards(i == 0 ? 1 : 256)) return false;
        const std::string name = i == 2 ? g_names.back() : g_names.front();
        const uint64_t handle = i == 2 ? g_handles.back() : g_handles.front();
        auto named = [&] { GetQualifier(0, name.c_str(), "Handle", value, sizeof(value)); };
        auto handled = [&] { GetKeyword(handle, "State", value, sizeof(value)); };
        for (unsigned warm = 0; warm < 100; ++warm) {
            named();
            handled();
        }
        byName[i] = kvbench::CountInstructions("GetQualifier(0, name, \"Handle\")", kCalls, named);
        byHandle[i] = kvbench::CountInstructions("GetKeyword(handle, \"State\")", kCalls, handled);
    }
    kvbench::InstructionRatio("lookup-name",
                              "GetQualifier(0, name, \"Handle\") instructions, last of 256 / first",
                              byName[2], byName[1], 1.02);
    kvbench::InstructionRatio("lookup-handle",
                              "GetKeyword(handle, \"State\") instructions, last of 256 / first", byHandle[2],
                              byHandle[1], 1.02);
    std::printf(
        "note: lookup-name: %.1f instructions with 1 board, %.1f on the first and %.1f on the last of 256\n",
        byName[0], byName[1], byName[2]);
    std::printf(
        "note: lookup-handle: %.1f instructions with 1 board, %.1f on the first and %.1f on the last of 256\n",
        byHandle[0], byHandle[1], byHandle[2]);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    kvemu::Reset();
    setenv("WBLOAD", KV_SHARE_DIR, 1);
    if (kvbench::Counting()) {
        const bool counted = CountLookups();
        Exit();
        return counted ? 0 : 1;
    }
    kvbench::MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* bench : {"BM_ByName", "BM_ByHandle"}) {
        const std::string b(bench);
        const char* what =
            b == "BM_ByName" ? "GetQualifier(0, name, \"Handle\")" : "GetKeyword(handle, \"State\")";
        kvbench::PrintRatio(b == "BM_ByName" ? "lookup-name" : "lookup-handle",
                            (std::string(what) + " time, last of 256 / first").c_str(),
                            reporter.Median(b + "/256/1"), reporter.Median(b + "/256/0"), 1.1);
        std::printf("note: %s: %.1f ns with 1 board, %.1f ns on the first and %.1f ns on the last of 256\n",
                    what, reporter.Median(b + "/1/0"), reporter.Median(b + "/256/0"),
                    reporter.Median(b + "/256/1"));
    }
    Exit();
    return 0;
}
