#include "sim/monitor/latency_histogram.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace ndi_monitor {

namespace {

constexpr int mantissa_bits = 6;                        // 64 buckets a doubling
constexpr uint64_t exact_below = 2u << mantissa_bits;   // 128 µs: one bucket each

}   // namespace

size_t latency_histogram::bucket(uint64_t magnitude_us)
{
    if (magnitude_us < exact_below)
        return size_t(magnitude_us);
    // The top seven bits of the value, the leading one among them, and how
    // far they were shifted: [64, 128) << shift, after the exact buckets.
    int shift = std::bit_width(magnitude_us) - (mantissa_bits + 1);
    return (size_t(shift) << mantissa_bits) + size_t(magnitude_us >> shift);
}

uint64_t latency_histogram::bucket_middle(size_t index)
{
    if (index < exact_below)
        return index;
    int shift = int(index >> mantissa_bits) - 1;
    uint64_t low = uint64_t(index - (size_t(shift) << mantissa_bits)) << shift;
    return low + (uint64_t(1) << shift) / 2;
}

void latency_histogram::add(int64_t latency_100ns)
{
    // Tenths of a microsecond are below anything this measures.
    uint64_t magnitude = latency_100ns < 0 ? uint64_t(-(latency_100ns + 1)) + 1 : uint64_t(latency_100ns);
    magnitude /= 10;
    std::vector<uint64_t>& side = latency_100ns < 0 && magnitude > 0 ? ahead : behind;
    size_t index = bucket(magnitude);
    if (side.size() <= index)
        side.resize(index + 1);
    ++side[index];
    ++total;
}

void latency_histogram::clear()
{
    std::fill(behind.begin(), behind.end(), 0);
    std::fill(ahead.begin(), ahead.end(), 0);
    total = 0;
}

int64_t latency_histogram::percentile(double fraction) const
{
    if (total == 0)
        return 0;
    uint64_t rank = std::clamp<uint64_t>(uint64_t(std::ceil(fraction * double(total))), 1, total);
    uint64_t seen = 0;
    for (size_t i = ahead.size(); i-- > 0;) {   // the most negative first
        seen += ahead[i];
        if (seen >= rank)
            return -int64_t(bucket_middle(i));
    }
    for (size_t i = 0; i < behind.size(); ++i) {
        seen += behind[i];
        if (seen >= rank)
            return int64_t(bucket_middle(i));
    }
    return int64_t(bucket_middle(behind.size() - 1));   // not reached: the counts add up to total
}

}   // namespace ndi_monitor
