#include "RatioReporter.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

namespace timbench {

std::string MemcpyName(const std::string& size) {
    return "memcpy/" + size;
}

std::string BenchName(const char* what, const std::string& format, const std::string& size) {
    return std::string(what) + "/" + format + "/" + size;
}

benchmark::internal::Benchmark* WithMinimum(benchmark::internal::Benchmark* b) {
    return b->ComputeStatistics("min", [](const std::vector<double>& v) {
        return v.empty() ? 0.0 : *std::min_element(v.begin(), v.end());
    });
}

namespace {

double ToNanoseconds(double value, benchmark::TimeUnit unit) {
    switch (unit) {
        case benchmark::kNanosecond: return value;
        case benchmark::kMicrosecond: return value * 1e3;
        case benchmark::kMillisecond: return value * 1e6;
        case benchmark::kSecond: return value * 1e9;
    }
    return value;
}

// Decode plus premultiply at the large size, as a multiple of memcpy.
double Target(const std::string& format, const std::string& size) {
    if (size != "1024x512") return 0;
    if (format == "4-bit") return 4;
    if (format == "8-bit") return 5;
    return 3;
}

constexpr double kPremultiplyTarget = 1.5;

std::string Cell(double value, int width, double limit = 0) {
    char text[64];
    if (value < 0) {
        std::snprintf(text, sizeof text, "%*s", width, "-");
    } else if (limit > 0) {
        char number[32];
        std::snprintf(number, sizeof number, "%.2f%s", value, value <= limit ? "" : "!");
        std::snprintf(text, sizeof text, "%*s", width, number);
    } else {
        std::snprintf(text, sizeof text, "%*.2f", width, value);
    }
    return text;
}

}  // namespace

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
    // Of the statistics over repetitions only the one the table uses is
    // shown; single runs and failures are shown as they are.
    std::vector<Run> shown;
    for (const Run& run : runs) {
        if (run.run_type != Run::RT_Aggregate || run.aggregate_name == "min") shown.push_back(run);
    }
    if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
    for (const Run& run : runs) {
        if (run.error_occurred) continue;
        Times& t = times_[run.run_name.str()];
        t.repetitions = std::max<int64_t>(t.repetitions, run.repetitions);
        const double ns = ToNanoseconds(run.GetAdjustedCPUTime(), run.time_unit);
        if (run.run_type == Run::RT_Iteration) {
            t.iterations.push_back(ns);
        } else if (run.aggregate_name == "min") {
            t.minimum = ns;
        }
    }
}

double RatioReporter::Time(const std::string& name) const {
    const auto it = times_.find(name);
    if (it == times_.end()) return -1;
    if (it->second.minimum >= 0) return it->second.minimum;
    const std::vector<double>& v = it->second.iterations;
    if (v.empty()) return -1;
    return *std::min_element(v.begin(), v.end());
}

void RatioReporter::Finalize() {
    ConsoleReporter::Finalize();
    std::ostream& out = GetOutputStream();
    int64_t repetitions = 1;
    for (const auto& [name, t] : times_) repetitions = std::max(repetitions, t.repetitions);

    out << "\nRatios from this run (CPU time, fastest of " << repetitions
        << (repetitions == 1 ? " repetition" : " repetitions") << ")\n"
        << "  decode, premultiply, both: time / memcpy of the same output bytes\n"
        << "  imagemagick: its time (TIM blob to RGBA pixels) / ours (decode + premultiply)\n"
        << "  '!' marks a ratio above its target (both at 1024x512: 4-bit 4, 8-bit 5, 16/24-bit 3;"
           " premultiply 1.5)\n\n";
    out << "format  size       memcpy us  decode  premultiply     both  imagemagick\n";
    std::vector<std::string> missed, unmeasured;
    for (const auto& row : rows_) {
        const std::string& format = row.first;
        const std::string& size = row.second;
        const double base = Time(MemcpyName(size));
        const auto ratio = [&](const char* what) {
            const double t = Time(BenchName(what, format, size));
            return t < 0 || base <= 0 ? -1.0 : t / base;
        };
        const double decode = ratio("decode");
        const double premultiply = ratio("premultiply");
        const double both = ratio("decode_premultiply");
        const double ours = Time(BenchName("decode_premultiply", format, size));
        const double magick = Time(BenchName("imagemagick", format, size));
        const double peer = magick < 0 || ours <= 0 ? -1 : magick / ours;
        const double target = Target(format, size);

        char head[32];
        std::snprintf(head, sizeof head, "%-7s %-9s", format.c_str(), size.c_str());
        out << head << Cell(base < 0 ? -1 : base / 1e3, 11) << Cell(decode, 8)
            << Cell(premultiply, 13, kPremultiplyTarget) << Cell(both, 9, target) << Cell(peer, 13)
            << "\n";
        const std::string where = format + " " + size;
        if (premultiply < 0) unmeasured.push_back("premultiply " + where);
        else if (premultiply > kPremultiplyTarget) missed.push_back("premultiply " + where);
        if (target > 0 && both < 0) unmeasured.push_back("decode + premultiply " + where);
        else if (target > 0 && both > target) missed.push_back("decode + premultiply " + where);
    }
    if (!missed.empty()) {
        out << "\nTargets missed:";
        for (const auto& m : missed) out << "\n  " << m;
        out << "\n";
    }
    if (!unmeasured.empty()) {
        out << "\n" << unmeasured.size() << " targets not measured in this run (filtered out or failed)\n";
    } else if (missed.empty()) {
        out << "\nAll targets met.\n";
    }
    out.flush();
}

}  // namespace timbench
