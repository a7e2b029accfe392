// The benchmarks' console output, plus the medians their ratio lines need:
// after the runs a benchmark prints one line per goal,
//   ratio: <what is measured> = <value> (goal <= <goal>)
// which scripts/bench collects into one table.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

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
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median" && !run.error_occurred &&
                run.iterations > 0)
                medians_[run.run_name.function_name] = {run.real_accumulated_time / static_cast<double>(run.iterations),
                                                        run.cpu_accumulated_time / static_cast<double>(run.iterations)};
        ConsoleReporter::ReportRuns(runs);
    }

    // Seconds per iteration of the benchmark's median repetition: real (or
    // manual) time, and the CPU time of the benchmark's thread; 0 when it did
    // not run with repetitions or failed.
    double MedianSeconds(const std::string& function) const { return Find(function).real; }
    double MedianCpuSeconds(const std::string& function) const { return Find(function).cpu; }

private:
    struct Times {
        double real = 0, cpu = 0;
    };
    Times Find(const std::string& function) const {
        auto it = medians_.find(function);
        return it == medians_.end() ? Times() : it->second;
    }
    std::map<std::string, Times> medians_;
};

}  // namespace kvbench
