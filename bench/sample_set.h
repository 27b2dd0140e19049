// A set of measured values (latencies, per-picture times) and their
// median and percentiles, by the nearest-rank rule.
//
// Thread rules: none.
#pragma once

#include <cstddef>
#include <vector>

namespace bench {

class sample_set {
public:
    void add(double value)
    {
        values.push_back(value);
        sorted = false;
    }
    size_t count() const { return values.size(); }
    // The smallest value that at least fraction of the values do not
    // exceed; 0 for an empty set.
    double percentile(double fraction);
    double median() { return percentile(0.5); }
    double lowest() { return percentile(0); }
    double highest() { return percentile(1); }
    // Every value of other, as if added here.
    void add_all(const sample_set& other);

private:
    std::vector<double> values;
    bool sorted = true;
};

}   // namespace bench
