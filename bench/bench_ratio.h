// Runs the registered benchmarks and keeps the median time of each, so that a
// benchmark program can print its ratio lines ("ratio: ... (goal <= ...)")
// once the runs are done. Benchmarks that want a median register with
// Repetitions(n); the figures kept are CPU times.
#pragma once

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace kvbench {

class MedianReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, so that piped output stays plain text.
    MedianReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                m_Medians[Key(run.run_name)] = run.GetAdjustedCPUTime();
                m_RealMedians[Key(run.run_name)] = run.GetAdjustedRealTime();
            }
        ConsoleReporter::ReportRuns(runs);
    }
    // The median CPU time of a benchmark by its name and arguments ("BM_Name/1/0"),
    // 0 when it did not run. CPU time: the machine may be shared, and the
    // calls compared run on one thread.
    double Median(const std::string& name) const {
        auto it = m_Medians.find(name);
        return it != m_Medians.end() ? it->second : 0.0;
    }

    // The median real time, or manual time (UseManualTime), in the same way.
    double MedianRealTime(const std::string& name) const {
        auto it = m_RealMedians.find(name);
        return it != m_RealMedians.end() ? it->second : 0.0;
    }

private:
    static std::string Key(const benchmark::BenchmarkName& name) {
        return name.args.empty() ? name.function_name : name.function_name + "/" + name.args;
    }
    std::map<std::string, double> m_Medians;
    std::map<std::string, double> m_RealMedians;
};

// Prints one ratio line of the benchmark convention ("ratio: KEY: WHAT = VALUE
// (goal <= GOAL)"), or a note when a figure is missing. KEY pairs the line with
// the instruction count of the same goal (instructions.h).
inline void PrintRatio(const char* key, const char* what, double numerator, double denominator, double goal) {
    if (numerator <= 0 || denominator <= 0) {
        std::printf("note: %s: %s could not be measured\n", key, what);
        return;
    }
    std::printf("ratio: %s: %s = %.3f (goal <= %g)\n", key, what, numerator / denominator, goal);
}

}  // namespace kvbench
