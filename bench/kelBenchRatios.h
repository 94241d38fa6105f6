#pragma once
// Comparisons of our code against a reference doing the same job, made to
// hold on a machine that other work shares.
//
// Name benchmarks "<case>/<subject>" and give the main the reference subject
// (and, optionally, counters to compare besides the time):
//
//   KEL_BENCH_MAIN_WITH_RATIOS("udp", "p50_us", "p99_us")
//
// A loaded machine can change speed by a factor of several within minutes,
// so one run of a subject followed by one run of its reference compares two
// moments more than two codes. The main therefore runs in rounds: each round
// runs every subject of a case back to back, the order flipping from round
// to round (A B, B A, A B, ...) so that a drift favours neither side, and
// takes the ratio within the round. It prints, per subject and metric, the
// median of the round ratios with their min and max. A warm-up round, not
// counted, comes first. Cases without a reference run once, in the first
// round.
//
// Environment:
//   KEL_BENCH_QUICK=1   a short run: 5 rounds, a tenth of the fixed iteration
//                       counts (kelBenchIterations), 0.05 s minimum time
//   KEL_BENCH_ROUNDS=n  rounds, at least 5 (default 7, quick 5)
// Google Benchmark's own flags still apply (--benchmark_filter, ...).

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

// --- statistics ----------------------------------------------------------------

struct kelRatioSummary
{
    double median = 0;
    double min = 0;
    double max = 0;
    size_t rounds = 0;
};

// Median (the mean of the middle two for an even count), min and max; all
// zero for no values.
inline kelRatioSummary kelSummarise(std::vector<double> values)
{
    kelRatioSummary s;
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    s.median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    s.min = values.front();
    s.max = values.back();
    s.rounds = n;
    return s;
}

// Mean and percentiles of samples taken inside one benchmark run (latencies
// in microseconds, say). A percentile is the sample at that rank, never
// interpolated.
struct kelPercentiles
{
    double mean = 0;
    double p50 = 0;
    double p99 = 0;
};

inline kelPercentiles kelSamplePercentiles(std::vector<double> samples)
{
    kelPercentiles p;
    if (samples.empty()) return p;
    std::sort(samples.begin(), samples.end());
    double sum = 0;
    for (double v : samples)
        sum += v;
    p.mean = sum / double(samples.size());
    p.p50 = samples[samples.size() / 2];
    p.p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    return p;
}

// "<case>/<subject>[/<option>...]" into the case (its options kept, so
// "deliver/pipe/4" and "deliver/plain-loop/4" are one case, "deliver/4") and
// the subject. The options that only say how Google Benchmark timed the run
// (iterations:N, real_time, manual_time, ...) are left out of the case, so
// that a quick run and a full one name their cases alike. False for a name
// without a subject.
inline bool kelSplitBenchName(const std::string& name, std::string& kase, std::string& subject)
{
    const auto slash = name.find('/');
    if (slash == std::string::npos) return false;
    kase = name.substr(0, slash);
    subject.clear();
    size_t start = slash + 1;
    for (bool first = true; start <= name.size(); first = false) {
        const auto end = std::min(name.find('/', start), name.size());
        const std::string part = name.substr(start, end - start);
        start = end + 1;
        if (first) {
            subject = part;
            continue;
        }
        const bool timing = part.rfind("iterations:", 0) == 0 || part.rfind("min_time:", 0) == 0 ||
                            part.rfind("repeats:", 0) == 0 || part == "real_time" || part == "manual_time" ||
                            part == "process_time";
        if (!timing) kase += "/" + part;
    }
    return !subject.empty();
}

// The values each (case, subject, metric) took in each round, and the round
// ratios against the reference subject.
class kelRatioTable
{
public:
    struct Row
    {
        std::string kase;
        std::string subject;
        std::string metric;
        kelRatioSummary ratio; // rounds == 0: no round had both sides
    };

    void record(const std::string& kase, const std::string& subject, const std::string& metric, int round,
                double value)
    {
        if (std::find(f_cases.begin(), f_cases.end(), kase) == f_cases.end()) f_cases.push_back(kase);
        f_values[kase][subject][metric][round].push_back(value);
    }

    // A run that measured nothing (skipped, failed) still makes its subject
    // known, so that the table can say no round measured it.
    void note(const std::string& kase, const std::string& subject)
    {
        if (std::find(f_cases.begin(), f_cases.end(), kase) == f_cases.end()) f_cases.push_back(kase);
        (void)f_values[kase][subject];
    }

    // Per case in first-recorded order, every other subject and every
    // metric either side has: the ratios subject / reference of the rounds
    // in which both have a value and the reference's is above 0 (a round
    // with several runs of a side takes their median). A case without the
    // reference gives no rows.
    std::vector<Row> ratios(const std::string& reference) const
    {
        std::vector<Row> rows;
        for (const std::string& kase : f_cases) {
            const auto& subjects = f_values.at(kase);
            const auto ref = subjects.find(reference);
            if (ref == subjects.end()) continue;
            for (const auto& [subject, metrics] : subjects) {
                if (subject == reference) continue;
                std::vector<std::string> names;
                for (const auto* side : {&ref->second, &metrics})
                    for (const auto& entry : *side)
                        if (std::find(names.begin(), names.end(), entry.first) == names.end())
                            names.push_back(entry.first);
                if (names.empty()) names.push_back("time");
                for (const std::string& metric : names)
                    rows.push_back(
                        {kase, subject, metric, kelSummarise(roundRatios(ref->second, metrics, metric))});
            }
        }
        return rows;
    }

private:
    using Rounds = std::map<int, std::vector<double>>;
    using Metrics = std::map<std::string, Rounds>;

    static std::vector<double> roundRatios(const Metrics& ref, const Metrics& own, const std::string& metric)
    {
        std::vector<double> out;
        const auto refRounds = ref.find(metric);
        const auto ownRounds = own.find(metric);
        if (refRounds == ref.end() || ownRounds == own.end()) return out;
        for (const auto& [round, refValues] : refRounds->second) {
            const auto mine = ownRounds->second.find(round);
            if (mine == ownRounds->second.end()) continue;
            const double r = kelSummarise(refValues).median;
            if (r > 0) out.push_back(kelSummarise(mine->second).median / r);
        }
        return out;
    }

    std::vector<std::string> f_cases;
    std::map<std::string, std::map<std::string, Metrics>> f_values;
};

// The order of a case's subjects in round `round` (from 0): as given in
// even rounds, reversed in odd ones.
inline std::vector<std::string> kelRoundOrder(std::vector<std::string> subjects, int round)
{
    if (round % 2 == 1) std::reverse(subjects.begin(), subjects.end());
    return subjects;
}

// --- run settings ----------------------------------------------------------------

inline bool kelBenchQuick()
{
    const char* q = std::getenv("KEL_BENCH_QUICK");
    return q != nullptr && *q != '\0' && std::strcmp(q, "0") != 0;
}

inline int kelBenchRounds()
{
    const char* text = std::getenv("KEL_BENCH_ROUNDS");
    const int asked = text != nullptr ? std::atoi(text) : 0;
    if (asked > 0) return std::max(asked, 5);
    return kelBenchQuick() ? 5 : 7;
}

// A fixed iteration count, cut to a tenth (at least 1) in a quick run.
inline benchmark::IterationCount kelBenchIterations(benchmark::IterationCount full)
{
    return kelBenchQuick() ? std::max<benchmark::IterationCount>(1, full / 10) : full;
}

// --- the reporter and the main -------------------------------------------------

// Prints the usual table (its header once for the whole program, not once
// per run) and records every run of the current round into the table.
class kelRatioReporter : public benchmark::ConsoleReporter
{
public:
    kelRatioReporter(std::vector<std::string> counters, size_t nameWidth)
        : ConsoleReporter(::isatty(1) ? OO_ColorTabular : OO_Tabular), f_counters(std::move(counters)),
          f_nameWidth(nameWidth)
    {}

    // Rounds count from 0; the runs of a round below 0 are shown, not recorded.
    void setRound(int round) { f_round = round; }
    const kelRatioTable& table() const { return f_table; }

    bool ReportContext(const Context& context) override
    {
        if (f_contextShown) return true;
        f_contextShown = true;
        const bool ok = ConsoleReporter::ReportContext(context);
        name_field_width_ = std::max(name_field_width_, f_nameWidth);
        return ok;
    }

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        if (f_round < 0) return;
        for (const Run& run : runs) {
            std::string kase, subject;
            if (run.run_type != Run::RT_Iteration || !kelSplitBenchName(run.benchmark_name(), kase, subject))
                continue;
            if (run.error_occurred) {
                f_table.note(kase, subject);
                continue;
            }
            // Seconds, so that subjects reporting in different units compare.
            f_table.record(kase, subject, "time", f_round,
                           run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit));
            for (const std::string& c : f_counters) {
                const auto it = run.counters.find(c);
                if (it != run.counters.end()) f_table.record(kase, subject, c, f_round, it->second.value);
            }
        }
    }

private:
    std::vector<std::string> f_counters;
    size_t f_nameWidth;
    kelRatioTable f_table;
    int f_round = 0;
    bool f_contextShown = false;
};

// The name as a filter that matches it alone.
inline std::string kelBenchExactFilter(const std::string& name)
{
    std::string out = "^";
    for (char c : name) {
        if (std::strchr(".^$|()[]{}*+?\\", c) != nullptr) out += '\\';
        out += c;
    }
    return out + "$";
}

// The program's own argv[0]: Google Benchmark keeps the pointer it was last
// given as the executable name it reports.
inline char*& kelBenchProgram()
{
    static char fallback[] = "bench";
    static char* program = fallback;
    return program;
}

inline void kelBenchSetFlag(const char* flag)
{
    std::string arg = flag;
    char* argv[] = {kelBenchProgram(), arg.data(), nullptr};
    int argc = 2;
    benchmark::Initialize(&argc, argv);
}

// The names of the registered benchmarks the filter selects, in order.
inline std::vector<std::string> kelBenchNames()
{
    std::ostringstream listed;
    benchmark::ConsoleReporter lister;
    lister.SetOutputStream(&listed);
    lister.SetErrorStream(&listed);
    kelBenchSetFlag("--benchmark_list_tests=true");
    benchmark::RunSpecifiedBenchmarks(&lister, benchmark::GetBenchmarkFilter());
    kelBenchSetFlag("--benchmark_list_tests=false");
    std::vector<std::string> names;
    std::istringstream in(listed.str());
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line.find(' ') == std::string::npos) names.push_back(line);
    return names;
}

inline void kelPrintRatios(const kelRatioTable& table, const std::string& reference, int rounds)
{
    std::printf("\nRatios to %s over %d interleaved rounds: median [min .. max] of subject / reference"
                " per round (for times, below 1 is faster)\n",
                reference.c_str(), rounds);
    for (const kelRatioTable::Row& row : table.ratios(reference)) {
        if (row.ratio.rounds == 0) {
            std::printf("  %-36s %-20s %-10s    no round measured both sides\n", row.kase.c_str(),
                        row.subject.c_str(), row.metric.c_str());
            continue;
        }
        std::printf("  %-36s %-20s %-10s %7.3f  [%.3f .. %.3f]  %zu rounds\n", row.kase.c_str(),
                    row.subject.c_str(), row.metric.c_str(), row.ratio.median, row.ratio.min, row.ratio.max,
                    row.ratio.rounds);
    }
}

// `args` is the reference subject, then the counters to compare.
inline int kelBenchMainWithRatios(int argc, char** argv, const std::vector<std::string>& args)
{
    const std::string reference = args.empty() ? std::string() : args.front();
    const std::vector<std::string> counters(args.size() > 1 ? args.begin() + 1 : args.end(), args.end());
    if (argc > 0) kelBenchProgram() = argv[0];
    if (kelBenchQuick()) kelBenchSetFlag("--benchmark_min_time=0.05"); // the command line may override it
    bool listOnly = false;
    for (int i = 1; i < argc; ++i)
        listOnly = listOnly || std::strncmp(argv[i], "--benchmark_list_tests", 22) == 0;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (listOnly) {
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        return 0;
    }

    // Cases in registration order, each with its subjects.
    std::vector<std::pair<std::string, std::vector<std::string>>> cases;
    size_t width = 10;
    for (const std::string& name : kelBenchNames()) {
        width = std::max(width, name.size());
        std::string kase, subject;
        if (!kelSplitBenchName(name, kase, subject)) kase = name;
        auto it = std::find_if(cases.begin(), cases.end(), [&](const auto& c) { return c.first == kase; });
        if (it == cases.end()) it = cases.insert(cases.end(), {kase, {}});
        it->second.push_back(name);
    }
    const auto compared = [&](const std::vector<std::string>& names) {
        if (names.size() < 2) return false;
        for (const std::string& name : names) {
            std::string kase, subject;
            if (kelSplitBenchName(name, kase, subject) && subject == reference) return true;
        }
        return false;
    };

    if (cases.empty()) {
        std::fprintf(stderr, "No benchmark matches the filter \"%s\"\n",
                     benchmark::GetBenchmarkFilter().c_str());
        benchmark::Shutdown();
        return 1;
    }

    const int rounds = kelBenchRounds();
    kelRatioReporter reporter(counters, width);
    // Round -1 warms up: the first runs in a process pay for page faults,
    // lazy binding and a cold cache, and would skew the first round.
    for (int round = -1; round < rounds; ++round) {
        reporter.setRound(round);
        std::fflush(stdout);
        if (round < 0)
            std::printf("-- warm-up round, not counted\n");
        else
            std::printf("-- round %d of %d\n", round + 1, rounds);
        std::fflush(stdout);
        for (const auto& [kase, names] : cases) {
            if (round != 0 && !compared(names)) continue;
            for (const std::string& name : kelRoundOrder(names, round))
                benchmark::RunSpecifiedBenchmarks(&reporter, kelBenchExactFilter(name));
        }
    }
    kelPrintRatios(reporter.table(), reference, rounds);
    benchmark::Shutdown();
    return 0;
}

#define KEL_BENCH_MAIN_WITH_RATIOS(...)                                                                      \
    int main(int argc, char** argv)                                                                          \
    {                                                                                                        \
        return kelBenchMainWithRatios(argc, argv, {__VA_ARGS__});                                            \
    }
