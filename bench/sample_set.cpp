#include "bench/sample_set.h"

#include <algorithm>
#include <cmath>

namespace bench {

double sample_set::percentile(double fraction)
{
    if (values.empty())
        return 0;
    if (!sorted) {
        std::sort(values.begin(), values.end());
        sorted = true;
    }
    const size_t rank = size_t(std::ceil(fraction * double(values.size())));
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

void sample_set::add_all(const sample_set& other)
{
    values.insert(values.end(), other.values.begin(), other.values.end());
    sorted = other.values.empty() && sorted;
}

}   // namespace bench
