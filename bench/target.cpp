#include "bench/target.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "bench/report.h"

namespace bench {

double target::worst(sample_set& runs) const
{
    return kind == bound::at_most ? runs.highest() : runs.lowest();
}

std::string target::verdict(sample_set& runs) const
{
    if (runs.count() == 0)
        return "not measured";
    const double value = worst(runs);
    return (kind == bound::at_most ? value <= limit : value >= limit) ? "met" : "missed";
}

std::string spread_text(sample_set& runs, const char* pattern)
{
    if (runs.count() == 0)
        return "not measured";
    const std::string median = format(pattern, runs.median());
    if (runs.count() == 1)
        return median;
    return "lowest " + format(pattern, runs.lowest()) + ", median " + median + ", highest " +
        format(pattern, runs.highest()) + format(" of %zu runs", runs.count());
}

int run_count(double repeat, const char* usage)
{
    if (repeat != std::floor(repeat) || repeat > 1000) {
        std::fprintf(stderr, "--repeat wants a whole number of runs\n%s", usage);
        std::exit(2);
    }
    return int(repeat);
}

}   // namespace bench
