#pragma once
// Console output as usual, then one table of ratios taken from the same run:
// every benchmark's time divided by the memcpy of the same output bytes, and
// ImageMagick's time divided by ours.
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace timbench {

// Benchmark names, so that the reporter can find the rows of its table.
std::string MemcpyName(const std::string& size);
std::string BenchName(const char* what, const std::string& format, const std::string& size);

// Adds the fastest repetition ("_min") to a benchmark's statistics: other
// processes can only slow a run down, so the fastest one is the least
// disturbed, for the baseline and for the code it judges alike.
benchmark::internal::Benchmark* WithMinimum(benchmark::internal::Benchmark* b);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Table rows in print order: (format, size).
    // Plain text, no colour codes: the output often goes to a log.
    explicit RatioReporter(std::vector<std::pair<std::string, std::string>> rows)
        : ConsoleReporter(OO_Tabular), rows_(std::move(rows)) {}

    void ReportRuns(const std::vector<Run>& runs) override;
    void Finalize() override;

private:
    struct Times {
        std::vector<double> iterations;  // CPU time per iteration, ns
        double minimum = -1;             // from the "min" aggregate, when reported
        int64_t repetitions = 1;
    };
    // The fastest repetition's CPU time per iteration in ns, or a negative
    // value if the benchmark did not run or failed.
    double Time(const std::string& name) const;

    std::vector<std::pair<std::string, std::string>> rows_;
    std::map<std::string, Times> times_;
};

}  // namespace timbench
