// A benchmark's target: a figure that must stay at most (or at least) a
// limit in every run. Over several runs (--repeat) the figure is given with
// its spread and judged on its worst run, since one good run among bad ones
// does not meet a target and a single run of a figure that scatters says
// little about it.
//
// Thread rules: none; values.
#pragma once

#include <string>

#include "bench/sample_set.h"

namespace bench {

class target {
public:
    enum class bound { at_most, at_least };

    target(bound side, double value) : kind(side), limit(value) {}

    // The run furthest from the limit's good side; 0 for no runs.
    double worst(sample_set& runs) const;
    // "met" when the worst run meets the limit, "missed", or "not measured".
    std::string verdict(sample_set& runs) const;

private:
    bound kind;
    double limit;
};

// A figure over the runs, each value written with pattern (one number and
// its unit, e.g. "%.3f ms"): "0.245 ms" for one run, "lowest 0.240 ms,
// median 0.245 ms, highest 0.251 ms of 3 runs" for more, "not measured"
// for none.
std::string spread_text(sample_set& runs, const char* pattern);

// A --repeat value: a whole number of runs from 1 up; anything else ends the
// program with the usage text (arguments::number).
int run_count(double repeat, const char* usage);

}   // namespace bench
