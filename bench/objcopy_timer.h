// What the firmware reader's benchmarks share: a scratch directory for
// generated images, objcopy run as a child process and timed by the wall
// clock, and medians of per-iteration samples.
#pragma once

#include <benchmark/benchmark.h>

#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "../tools/mkdspimage/DspImage.h"

extern char** environ;

namespace benchimage {

inline double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline double Median(std::vector<double> samples) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

// A directory under /tmp, removed with what it holds at exit.
class ScratchDirectory {
public:
    ScratchDirectory() {
        char pattern[] = "/tmp/kvbench_XXXXXX";
        if (mkdtemp(pattern) != nullptr) m_Path = pattern;
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        if (!m_Path.empty()) std::filesystem::remove_all(m_Path, ignored);
    }
    const std::string& Path() const { return m_Path; }

private:
    std::string m_Path;
};

// Writes a runnable generated image of size bytes in 32-byte records; its text size, 0 on failure.
inline long WriteImage(const std::string& path, uint32_t size) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    const bool ok = dspimage::WriteGeneratedImage(file, size, 32);
    const long bytes = ftell(file);
    return fclose(file) == 0 && ok ? bytes : 0;
}

inline bool ObjcopyInstalled() { return system("objcopy --version >/dev/null 2>&1") == 0; }

// Runs 'objcopy -I ihex -O binary image output' and returns its wall time in
// seconds, or a negative number when it failed.
inline double TimeObjcopy(const std::string& image, const std::string& output) {
    const char* argv[] = {"objcopy", "-I", "ihex", "-O", "binary", image.c_str(), output.c_str(), nullptr};
    const double start = Now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, "objcopy", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return Now() - start;
}

// The body of an objcopy benchmark: each iteration converts image into output,
// is timed by the wall clock and kept in samples for the ratio printed later.
inline void RunObjcopy(benchmark::State& state, const std::string& image, const std::string& output,
                       std::vector<double>& samples) {
    if (!ObjcopyInstalled()) {
        state.SkipWithError("objcopy is not installed");
        return;
    }
    for (auto _ : state) {
        const double seconds = TimeObjcopy(image, output);
        if (seconds < 0) {
            state.SkipWithError("objcopy failed");
            break;
        }
        state.SetIterationTime(seconds);
        samples.push_back(seconds);
    }
}

}  // namespace benchimage
