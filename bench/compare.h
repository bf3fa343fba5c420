// A console reporter that also prints each benchmark against its raw floor,
// measured in the same run: "BM_X  1.04 x BM_Floor (median 5.1 us vs 4.9 us)".
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qvtr_bench {

class FloorReporter : public benchmark::ConsoleReporter {
public:
    // Pairs of (benchmark, its floor), by the names given to BENCHMARK().
    explicit FloorReporter(std::vector<std::pair<std::string, std::string>> pairs) : m_pairs(std::move(pairs)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const std::string name = run.run_name.function_name;
            // With repetitions the median stands for the benchmark; else its only run.
            if (run.aggregate_name == "median" || (run.aggregate_name.empty() && !m_times.count(name))) {
                m_times[name] = run.GetAdjustedRealTime() * Scale(run.time_unit);
            }
        }
    }

    void PrintComparisons() const {
        std::printf("\nAgainst the floor measured in this run:\n");
        for (const auto& pair : m_pairs) {
            auto a = m_times.find(pair.first);
            auto b = m_times.find(pair.second);
            if (a == m_times.end() || b == m_times.end() || b->second <= 0) {
                continue;
            }
            std::printf("  %-34s %8.2f x %-30s (%s vs %s)\n", pair.first.c_str(), a->second / b->second,
                        pair.second.c_str(), Format(a->second).c_str(), Format(b->second).c_str());
        }
    }

private:
    static double Scale(benchmark::TimeUnit unit) {
        switch (unit) {
            case benchmark::kNanosecond:
                return 1.0;
            case benchmark::kMicrosecond:
                return 1e3;
            case benchmark::kMillisecond:
                return 1e6;
            default:
                return 1e9;
        }
    }

    static std::string Format(double ns) {
        char text[32];
        if (ns < 1e3) {
            std::snprintf(text, sizeof text, "%.2f ns", ns);
        } else if (ns < 1e6) {
            std::snprintf(text, sizeof text, "%.2f us", ns / 1e3);
        } else {
            std::snprintf(text, sizeof text, "%.2f ms", ns / 1e6);
        }
        return text;
    }

    std::vector<std::pair<std::string, std::string>> m_pairs;
    std::map<std::string, double> m_times;
};

// main() for a benchmark file: runs everything, then prints the comparisons.
inline int RunWithFloors(int argc, char** argv, std::vector<std::pair<std::string, std::string>> pairs) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    FloorReporter reporter(std::move(pairs));
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintComparisons();
    benchmark::Shutdown();
    return 0;
}

}  // namespace qvtr_bench
