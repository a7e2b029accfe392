// The firmware image reader against objcopy: LoadDSP on a generated image of
// 4 MiB in 32-byte records (about 9.96 MB of text), its downloads going to a
// sink that only copies the bytes, against 'objcopy -I ihex -O binary' on the
// same file as a child process; wall clock, medians. Goal: the reader takes at
// most half of objcopy's time. Under callgrind (instructions.h) it counts
// instructions instead, objcopy's by a callgrind of its own; goal: at most 0.4
// of objcopy's.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "instructions.h"
#include "kvboard.h"
#include "objcopy_timer.h"

namespace {

const uint32_t kImageBytes = 4u << 20;

// A board whose downloads are copied into plain memory instead of reaching the driver.
class SinkBoard : public CKvBoard {
public:
    SinkBoard() : CKvBoard("sink", "KV 7400C-48"), m_Memory(16u << 20) {}

protected:
    uint32_t DspDownload(KVHANDLE, uint32_t address, const uint8_t* data, uint8_t count) override {
        const uint32_t at = address & ((16u << 20) - 256);
        memcpy(&m_Memory[at], data, count);
        return 0;
    }

private:
    std::vector<uint8_t> m_Memory;
};

struct Fixture {
    benchimage::ScratchDirectory directory;
    std::string image = directory.Path() + "/image4m.dsp";
    long textBytes = benchimage::WriteImage(image, kImageBytes);
    std::vector<double> reader, objcopy;
};
Fixture* g_Fixture = nullptr;

void BM_HexReaderLoadDSP(benchmark::State& state) {
    SinkBoard board;
    board.SetSearchPath(g_Fixture->directory.Path().c_str());
    for (auto _ : state) {
        const double start = benchimage::Now();
        const int rc = board.LoadDSP(nullptr, "image4m.dsp");
        const double seconds = benchimage::Now() - start;
        if (rc != 0) {
            state.SkipWithError("LoadDSP failed");
            break;
        }
        state.SetIterationTime(seconds);
        g_Fixture->reader.push_back(seconds);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * g_Fixture->textBytes);
}

void BM_Objcopy(benchmark::State& state) {
    benchimage::RunObjcopy(state, g_Fixture->image, g_Fixture->directory.Path() + "/image4m.bin",
                           g_Fixture->objcopy);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * g_Fixture->textBytes);
}

BENCHMARK(BM_HexReaderLoadDSP)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(21);
BENCHMARK(BM_Objcopy)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(21);

// The instructions of one LoadDSP (after one that warms up) and of one objcopy run.
int CountReaderAndObjcopy() {
    SinkBoard board;
    board.SetSearchPath(g_Fixture->directory.Path().c_str());
    bool ok = board.LoadDSP(nullptr, "image4m.dsp") == 0;
    double reader = 0;
    if (ok)
        reader = kvbench::CountInstructions("LoadDSP", 1,
                                            [&] { ok = board.LoadDSP(nullptr, "image4m.dsp") == 0 && ok; });
    if (!ok) reader = 0;
    if (reader > 0)
        printf("note: hexreader: %.0f instructions per LoadDSP, %.1f per byte of text\n", reader,
               reader / static_cast<double>(g_Fixture->textBytes));
    if (!benchimage::ObjcopyInstalled()) {
        printf("note: hexreader: objcopy is not installed (package binutils); no ratio to it\n");
        return ok ? 0 : 1;
    }
    const double objcopy =
        kvbench::CountProgramInstructions({"objcopy", "-I", "ihex", "-O", "binary", g_Fixture->image,
                                           g_Fixture->directory.Path() + "/image4m.bin"},
                                          kvbench::ChildProfile("objcopy"));
    if (objcopy > 0) printf("note: hexreader: %.0f instructions per objcopy run\n", objcopy);
    kvbench::InstructionRatio("hexreader", "hex reader instructions / objcopy instructions", reader, objcopy,
                              0.4);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Fixture fixture;
    if (fixture.textBytes == 0) {
        fprintf(stderr, "hexreader_bench: could not write the image\n");
        return 1;
    }
    g_Fixture = &fixture;
    if (kvbench::Counting()) return CountReaderAndObjcopy();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const double reader = benchimage::Median(fixture.reader);
    const double mb = static_cast<double>(fixture.textBytes) / 1e6;
    if (reader > 0)
        printf("note: hex reader %.0f MB/s of text (%.2f MB, median %.1f ms)\n", mb / reader, mb,
               reader * 1e3);
    if (fixture.objcopy.empty()) {
        printf("note: objcopy is not installed (package binutils); no ratio to it\n");
    } else {
        const double objcopy = benchimage::Median(fixture.objcopy);
        printf("note: objcopy %.0f MB/s of text (median %.1f ms)\n", mb / objcopy, objcopy * 1e3);
        if (reader > 0)
            printf("ratio: hexreader: hex reader time / objcopy time = %.2f (goal <= 0.5)\n",
                   reader / objcopy);
    }
    return 0;
}
