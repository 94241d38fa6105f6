#include "kelBenchRatios.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

namespace {

using BenchRun = benchmark::BenchmarkReporter::Run;

BenchRun timedRun(const std::string& name, double seconds, benchmark::TimeUnit unit)
{
    BenchRun run;
    run.run_name.function_name = name;
    run.run_type = BenchRun::RT_Iteration;
    run.iterations = 1;
    run.time_unit = unit;
    // The accumulated time is in seconds; the reporter shows it in `unit`.
    run.real_accumulated_time = seconds;
    run.cpu_accumulated_time = seconds;
    return run;
}

const kelRatioTable::Row* findRow(const std::vector<kelRatioTable::Row>& rows, const std::string& subject,
                                  const std::string& metric)
{
    for (const auto& row : rows)
        if (row.subject == subject && row.metric == metric) return &row;
    return nullptr;
}

} // namespace

TEST(kelBenchRatiosTest, SummaryTakesMedianOfOddAndMiddlePairOfEvenCounts)
{
    const kelRatioSummary odd = kelSummarise({3.0, 0.5, 9.0, 1.0, 2.0});
    EXPECT_DOUBLE_EQ(odd.median, 2.0);
    EXPECT_DOUBLE_EQ(odd.min, 0.5);
    EXPECT_DOUBLE_EQ(odd.max, 9.0);
    EXPECT_EQ(odd.rounds, 5u);

    const kelRatioSummary even = kelSummarise({4.0, 1.0, 3.0, 2.0});
    EXPECT_DOUBLE_EQ(even.median, 2.5);
    EXPECT_EQ(even.rounds, 4u);

    const kelRatioSummary none = kelSummarise({});
    EXPECT_EQ(none.rounds, 0u);
    EXPECT_DOUBLE_EQ(none.median, 0.0);
}

TEST(kelBenchRatiosTest, PercentilesAreSamplesAtTheirRank)
{
    std::vector<double> samples;
    for (int i = 100; i >= 1; --i)
        samples.push_back(i);
    const kelPercentiles p = kelSamplePercentiles(samples);
    EXPECT_DOUBLE_EQ(p.mean, 50.5);
    EXPECT_DOUBLE_EQ(p.p50, 51.0);
    EXPECT_DOUBLE_EQ(p.p99, 100.0);
    EXPECT_DOUBLE_EQ(kelSamplePercentiles({7.0}).p99, 7.0);
    EXPECT_DOUBLE_EQ(kelSamplePercentiles({}).p50, 0.0);
}

TEST(kelBenchRatiosTest, NameSplitsIntoCaseWithOptionsAndSubject)
{
    std::string kase, subject;
    ASSERT_TRUE(kelSplitBenchName("deliver/pipe/4", kase, subject));
    EXPECT_EQ(kase, "deliver/4");
    EXPECT_EQ(subject, "pipe");
    ASSERT_TRUE(kelSplitBenchName("write2/std::shared_mutex/real_time/threads:2", kase, subject));
    EXPECT_EQ(kase, "write2/threads:2");
    EXPECT_EQ(subject, "std::shared_mutex");
    ASSERT_TRUE(kelSplitBenchName("Latency/kel/iterations:100/manual_time", kase, subject));
    EXPECT_EQ(kase, "Latency");
    EXPECT_EQ(subject, "kel");
    EXPECT_FALSE(kelSplitBenchName("IdleCpu", kase, subject));
    EXPECT_FALSE(kelSplitBenchName("IdleCpu/", kase, subject));
}

TEST(kelBenchRatiosTest, RatioIsTakenWithinEachRoundNotAcrossThem)
{
    // The machine slowed tenfold between the rounds. Within each round the
    // subject took 2x and then 0.5x the reference's time; comparing the two
    // sides' medians across rounds would give 35 / 55 instead.
    kelRatioTable table;
    table.record("Latency", "udp", "time", 0, 10);
    table.record("Latency", "kel", "time", 0, 20);
    table.record("Latency", "kel", "time", 1, 50);
    table.record("Latency", "udp", "time", 1, 100);
    table.record("Latency", "udp", "time", 2, 40);
    table.record("Latency", "kel", "time", 2, 40);
    const auto rows = table.ratios("udp");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].kase, "Latency");
    EXPECT_EQ(rows[0].subject, "kel");
    EXPECT_DOUBLE_EQ(rows[0].ratio.median, 1.0);
    EXPECT_DOUBLE_EQ(rows[0].ratio.min, 0.5);
    EXPECT_DOUBLE_EQ(rows[0].ratio.max, 2.0);
    EXPECT_EQ(rows[0].ratio.rounds, 3u);
}

TEST(kelBenchRatiosTest, RoundsMissingASideOrWithAZeroReferenceAreLeftOut)
{
    kelRatioTable table;
    table.record("Throughput", "gstreamer", "time", 0, 4);
    table.record("Throughput", "kel", "time", 0, 2);
    table.record("Throughput", "kel", "time", 1, 9); // the reference failed in round 1
    table.record("Throughput", "gstreamer", "time", 2, 0);
    table.record("Throughput", "kel", "time", 2, 3);
    table.record("Throughput", "gstreamer", "p50_us", 0, 10); // a counter only one side has
    const auto rows = table.ratios("gstreamer");
    const auto* time = findRow(rows, "kel", "time");
    ASSERT_NE(time, nullptr);
    EXPECT_EQ(time->ratio.rounds, 1u);
    EXPECT_DOUBLE_EQ(time->ratio.median, 0.5);
    const auto* p50 = findRow(rows, "kel", "p50_us");
    ASSERT_NE(p50, nullptr);
    EXPECT_EQ(p50->ratio.rounds, 0u);
}

TEST(kelBenchRatiosTest, SkippedSubjectShowsAsUnmeasuredAndCasesWithoutReferenceGiveNoRows)
{
    kelRatioTable table;
    table.record("Cpu50pps", "gstreamer", "time", 0, 1);
    table.note("Cpu50pps", "kel");
    table.record("IdleCpu", "kel", "time", 0, 5);
    const auto rows = table.ratios("gstreamer");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].kase, "Cpu50pps");
    EXPECT_EQ(rows[0].metric, "time");
    EXPECT_EQ(rows[0].ratio.rounds, 0u);
}

TEST(kelBenchRatiosTest, RoundOrderFlipsEveryRound)
{
    const std::vector<std::string> subjects{"a", "b", "c"};
    EXPECT_EQ(kelRoundOrder(subjects, 0), subjects);
    EXPECT_EQ(kelRoundOrder(subjects, 1), (std::vector<std::string>{"c", "b", "a"}));
    EXPECT_EQ(kelRoundOrder(subjects, 2), subjects);
}

TEST(kelBenchRatiosTest, ExactFilterMatchesTheNameAloneUnderBothRegexGrammars)
{
    const std::string name = "find.a+b/std::vector+mutex/4";
    const std::string filter = kelBenchExactFilter(name);
    for (const auto grammar : {std::regex::extended, std::regex::ECMAScript}) {
        const std::regex re(filter, grammar);
        EXPECT_TRUE(std::regex_search(name, re)) << filter;
        EXPECT_FALSE(std::regex_search("findXa+b/std::vector+mutex/4", re)) << filter;
        EXPECT_FALSE(std::regex_search("find.aab/std::vector+mutex/4", re)) << filter;
        EXPECT_FALSE(std::regex_search(name + "/threads:2", re)) << filter;
    }
}

TEST(kelBenchRatiosTest, ReporterComparesTimesAcrossUnitsAndRecordsChosenCounters)
{
    kelRatioReporter reporter({"p50_us"}, 20);
    std::ostringstream out;
    reporter.SetOutputStream(&out);
    reporter.SetErrorStream(&out);

    // Round 0: the same 2 ms each, one reported in microseconds, one in
    // milliseconds. Round 1: ours twice as slow.
    BenchRun udp = timedRun("Latency/udp", 0.002, benchmark::kMicrosecond);
    udp.counters["p50_us"] = benchmark::Counter(40);
    udp.counters["lost"] = benchmark::Counter(1);
    BenchRun kel = timedRun("Latency/kel", 0.002, benchmark::kMillisecond);
    kel.counters["p50_us"] = benchmark::Counter(60);
    kel.counters["lost"] = benchmark::Counter(3);
    reporter.setRound(0);
    reporter.ReportRuns({udp, kel});
    reporter.setRound(1);
    reporter.ReportRuns({timedRun("Latency/kel", 0.004, benchmark::kMillisecond),
                         timedRun("Latency/udp", 0.002, benchmark::kMillisecond)});
    reporter.setRound(-1); // warm-up: shown, not counted
    reporter.ReportRuns({timedRun("Latency/kel", 1, benchmark::kMillisecond),
                         timedRun("Latency/udp", 0.001, benchmark::kMillisecond)});
    reporter.setRound(1);
    BenchRun failed = timedRun("Latency/kel_nocheck", 1, benchmark::kMillisecond);
    failed.error_occurred = true;
    reporter.ReportRuns({failed});

    const auto rows = reporter.table().ratios("udp");
    const auto* time = findRow(rows, "kel", "time");
    ASSERT_NE(time, nullptr);
    EXPECT_EQ(time->ratio.rounds, 2u);
    EXPECT_DOUBLE_EQ(time->ratio.min, 1.0);
    EXPECT_DOUBLE_EQ(time->ratio.max, 2.0);
    const auto* p50 = findRow(rows, "kel", "p50_us");
    ASSERT_NE(p50, nullptr);
    EXPECT_DOUBLE_EQ(p50->ratio.median, 1.5);
    EXPECT_EQ(findRow(rows, "kel", "lost"), nullptr);
    const auto* failedRow = findRow(rows, "kel_nocheck", "time");
    ASSERT_NE(failedRow, nullptr);
    EXPECT_EQ(failedRow->ratio.rounds, 0u);
    // The usual table was still printed.
    EXPECT_NE(out.str().find("Latency/kel"), std::string::npos);
}
