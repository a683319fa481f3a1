#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace kestrel {

// Prints like the console reporter and keeps each benchmark's real time per iteration, in
// nanoseconds, so that a program can print ratios against a reference run of the same process.
class CollectingReporter final : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                nanos[run.benchmark_name()] =
                    run.GetAdjustedRealTime() *
                    benchmark::GetTimeUnitMultiplier(benchmark::kNanosecond) /
                    benchmark::GetTimeUnitMultiplier(run.time_unit);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> nanos;
};

// One line of the summary: a benchmark, how it is labelled, and its goal in reference runs.
struct GoalRow {
    const char* name;
    const char* label;
    double goal;
};

// Prints each row's time as a multiple of the reference benchmark's, with whether it meets its
// goal; rows that did not run are left out. Nothing is printed without the reference.
inline void printGoalRatios(const CollectingReporter& reporter, const std::string& reference,
                            const char* heading, const std::vector<GoalRow>& rows,
                            const char* unit = "copies") {
    const auto base = reporter.nanos.find(reference);
    if (base == reporter.nanos.end() || base->second <= 0) {
        return;
    }
    std::printf("\n%s (%.3f ms):\n", heading, base->second / 1e6);
    for (const GoalRow& row : rows) {
        const auto found = reporter.nanos.find(row.name);
        if (found == reporter.nanos.end()) {
            continue;
        }
        const double ratio = found->second / base->second;
        std::printf("  %-45s %10.4f %s  (goal <= %g: %s)\n", row.label, ratio, unit, row.goal,
                    ratio <= row.goal ? "met" : "MISSED");
    }
}

}  // namespace kestrel
