// How the benchmarks judge a target over several runs: the worst run
// decides, on either side of the limit, and the spread shows every run.
#include <gtest/gtest.h>

#include "bench/pipeline_run.h"
#include "bench/sample_set.h"
#include "bench/target.h"

using namespace bench;

namespace {

sample_set runs_of(std::initializer_list<double> values)
{
    sample_set runs;
    for (double v : values)
        runs.add(v);
    return runs;
}

TEST(target, the_worst_run_decides)
{
    const target at_most(target::bound::at_most, 0.3), at_least(target::bound::at_least, 10);
    sample_set under = runs_of({0.25, 0.29, 0.3});
    EXPECT_EQ(at_most.verdict(under), "met");   // the limit itself meets it
    sample_set one_over = runs_of({0.25, 0.301, 0.28});
    EXPECT_EQ(at_most.verdict(one_over), "missed");   // though the median meets it
    EXPECT_DOUBLE_EQ(at_most.worst(one_over), 0.301);

    sample_set above = runs_of({23.7, 10, 12});
    EXPECT_EQ(at_least.verdict(above), "met");
    sample_set one_below = runs_of({23.7, 9.9, 12});
    EXPECT_EQ(at_least.verdict(one_below), "missed");
    EXPECT_DOUBLE_EQ(at_least.worst(one_below), 9.9);

    sample_set none;
    EXPECT_EQ(at_most.verdict(none), "not measured");
    EXPECT_EQ(at_least.verdict(none), "not measured");
}

TEST(target, the_spread_shows_lowest_median_and_highest)
{
    sample_set one = runs_of({0.2451});
    EXPECT_EQ(spread_text(one, "%.3f ms"), "0.245 ms");
    sample_set three = runs_of({0.251, 0.240, 0.245});
    EXPECT_EQ(spread_text(three, "%.3f ms"), "lowest 0.240 ms, median 0.245 ms, highest 0.251 ms of 3 runs");
    sample_set none;
    EXPECT_EQ(spread_text(none, "%.3f ms"), "not measured");
}

TEST(sample_set, takes_another_sets_values_whole)
{
    sample_set a = runs_of({5, 1});
    EXPECT_DOUBLE_EQ(a.median(), 1);   // sorted now
    const sample_set b = runs_of({0.5, 9});
    a.add_all(b);
    EXPECT_EQ(a.count(), 4u);
    EXPECT_DOUBLE_EQ(a.lowest(), 0.5);   // sorted again after taking them
    EXPECT_DOUBLE_EQ(a.highest(), 9);
    EXPECT_DOUBLE_EQ(a.median(), 1);
}

pipeline_result run_costing(int64_t program_ns, int64_t stand_in_ns, uint64_t captured)
{
    pipeline_result r;
    thread_group g;
    g.owner = thread_owner::program;
    g.cpu_ns = program_ns;
    g.stand_in_ns = stand_in_ns;
    r.threads.push_back(g);
    r.captured = captured;
    return r;
}

TEST(pipeline_run, the_run_shown_is_the_median_of_the_own_cost)
{
    // Own cost per picture: 0.30, 0.25 (raw highest of all), 0.20 ms.
    const std::vector<pipeline_result> runs = {run_costing(3000000, 0, 10), run_costing(9000000, 6500000, 10),
                                               run_costing(2000000, 0, 10)};
    EXPECT_EQ(median_run(runs), 1u);
    EXPECT_EQ(median_run({runs[0], runs[2]}), 1u);   // two runs: the lower
    EXPECT_EQ(median_run({runs[0]}), 0u);
}

}   // namespace
