#pragma once
// A Google Benchmark main that prints, after the usual table, the time of
// each benchmark relative to a reference benchmark run in the same program.
//
// Name benchmarks "<case>/<subject>" and declare which subject is the
// reference: KEL_BENCH_MAIN_WITH_RATIOS("std::shared_mutex") prints, for
// every case, subject time / reference time.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

class kelRatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            const std::string name = run.benchmark_name();
            const auto slash = name.find('/');
            if (slash == std::string::npos) continue;
            std::string rest = name.substr(slash + 1);
            // Drop Google Benchmark's own suffixes ("/threads:2", "/real_time").
            const auto extra = rest.find('/');
            const std::string subject = rest.substr(0, extra);
            std::string kase = name.substr(0, slash);
            if (extra != std::string::npos) kase += rest.substr(extra);
            f_times[kase][subject] = run.GetAdjustedRealTime();
        }
    }

    void printRatios(const std::string& reference) const
    {
        std::printf("\nRatios (time / time of %s; below 1 is faster):\n", reference.c_str());
        for (const auto& [kase, subjects] : f_times) {
            const auto ref = subjects.find(reference);
            if (ref == subjects.end() || ref->second <= 0) continue;
            for (const auto& [subject, time] : subjects) {
                if (subject == reference) continue;
                std::printf("  %-40s %-24s %6.2f\n", kase.c_str(), subject.c_str(), time / ref->second);
            }
        }
    }

private:
    std::map<std::string, std::map<std::string, double>> f_times;
};

#define KEL_BENCH_MAIN_WITH_RATIOS(reference)                                                                \
    int main(int argc, char** argv)                                                                          \
    {                                                                                                        \
        benchmark::Initialize(&argc, argv);                                                                  \
        if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;                                    \
        kelRatioReporter reporter;                                                                           \
        benchmark::RunSpecifiedBenchmarks(&reporter);                                                        \
        reporter.printRatios(reference);                                                                     \
        benchmark::Shutdown();                                                                               \
        return 0;                                                                                            \
    }
