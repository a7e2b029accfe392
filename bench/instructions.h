// Instruction counts of the benchmarks' operations, as callgrind counts them.
//
// Times on a shared machine move with its load; instruction counts do not.
// scripts/bench therefore runs every benchmark program twice: once natively
// for its times, once under callgrind (collection on from the start, all
// threads in one profile) with KV_BENCH_CALLGRIND set to the profile's file
// name (--callgrind-out-file). In that second run a program times nothing:
// it runs each measured operation a known number of times between
// CALLGRIND_ZERO_STATS and CALLGRIND_DUMP_STATS_AT, reads the dump back and
// divides by the number of operations. A dump holds every thread of the
// process, also threads that ended within the span (a board's monitor
// thread), so a count is the whole process's.
//
// Its results are printed as "instructions: KEY: WHAT = VALUE (goal <= GOAL)"
// lines (InstructionRatio), beside the time run's "ratio: KEY: ..." lines;
// scripts/bench pairs them by KEY.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#if KV_HAVE_CALLGRIND_H
#include <valgrind/callgrind.h>
#else
// Without valgrind's header nothing is counted: the program only times.
#define RUNNING_ON_VALGRIND 0
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(label) ((void)(label))
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace kvbench {

// Whether this run counts instructions instead of timing: under callgrind,
// with KV_BENCH_CALLGRIND naming the profile's file.
inline bool Counting() {
    const char* out = getenv("KV_BENCH_CALLGRIND");
    return RUNNING_ON_VALGRIND && out != nullptr && out[0] != '\0';
}

// The instructions a callgrind profile file holds ("totals:" or, failing
// that, "summary:"), 0 when the file cannot be read.
inline double ProfileTotal(const std::string& path) {
    FILE* file = fopen(path.c_str(), "r");
    if (file == nullptr) return 0;
    char line[512];
    double totals = 0, summary = 0;
    while (fgets(line, sizeof(line), file) != nullptr) {
        if (strncmp(line, "totals:", 7) == 0) totals = strtod(line + 7, nullptr);
        if (strncmp(line, "summary:", 8) == 0) summary = strtod(line + 8, nullptr);
    }
    fclose(file);
    return totals > 0 ? totals : summary;
}

namespace detail {

// The file of the next dump. Callgrind numbers the dumps of a run from 1 and
// writes dump n to "<profile>.<n>".
inline std::string NextDump() {
    static unsigned dumps = 0;
    return std::string(getenv("KV_BENCH_CALLGRIND")) + "." + std::to_string(++dumps);
}

// Runs op count times between a reset of the counts and a dump; answers the
// instructions of the span.
template <typename Op>
double CountSpan(const char* label, unsigned count, Op& op) {
    CALLGRIND_ZERO_STATS;
    for (unsigned i = 0; i < count; ++i) op();
    CALLGRIND_DUMP_STATS_AT(label);
    return ProfileTotal(NextDump());
}

// What the counting loop itself costs per run, measured once with a body that
// does nothing; it is taken off every count, so that a count is the
// operation's alone (a few instructions, which matter beside calls of a few
// hundred).
inline double LoopCost() {
    static const double cost = [] {
        auto nothing = [] { asm volatile(""); };
        const unsigned count = 100000;
        return CountSpan("the counting loop", count, nothing) / count;
    }();
    return cost;
}

}  // namespace detail

// Runs op count times (every thread of the process counted) and answers the
// instructions of one run, 0 when they could not be counted. label names the
// dump in the profile.
template <typename Op>
double CountInstructions(const char* label, unsigned count, Op op) {
    if (!Counting() || count == 0) return 0;
    const double loop = detail::LoopCost();
    const double total = detail::CountSpan(label, count, op);
    return total > 0 ? total / count - loop : 0;
}

// The instructions of a whole run of a program (argv[0] found in PATH), counted
// by a callgrind of its own into profile; 0 when it could not be run or failed.
// The calling program is not traced into its children, so the program runs
// under that callgrind alone.
inline double CountProgramInstructions(const std::vector<std::string>& command, const std::string& profile) {
    std::vector<std::string> words = {"valgrind", "--tool=callgrind", "--callgrind-out-file=" + profile};
    words.insert(words.end(), command.begin(), command.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // valgrind's own report would mix with the benchmark's lines.
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "valgrind", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return 0;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return 0;
    return ProfileTotal(profile);
}

// A profile file for a child run, beside this run's own.
inline std::string ChildProfile(const char* name) {
    const char* out = getenv("KV_BENCH_CALLGRIND");
    return std::string(out != nullptr ? out : "callgrind.out") + "." + name;
}

// Prints one instruction line: numerator / denominator against goal.
inline void InstructionRatio(const char* key, const char* what, double numerator, double denominator,
                             double goal) {
    if (numerator <= 0 || denominator <= 0) {
        std::printf("note: %s: %s could not be counted\n", key, what);
        return;
    }
    std::printf("instructions: %s: %s = %.3f (goal <= %g)\n", key, what, numerator / denominator, goal);
}

}  // namespace kvbench
