// Capture-to-receive latencies of one stream, for the median and the 99th
// percentile of an interval or of a whole run, in memory that does not grow
// with the run. A value is kept to within 1/64 of itself: buckets of 1 µs
// below 128 µs, then 64 buckets for every doubling. A negative latency (a
// timecode ahead of our clock: the sender's clock is not ours, or its
// timecodes are not capture times) is kept alike, mirrored, so that it shows
// instead of vanishing.
//
// Thread rules: none; the monitor's one thread owns it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ndi_monitor {

class latency_histogram {
public:
    void add(int64_t latency_100ns);
    void clear();

    uint64_t count() const { return total; }

    // The nearest-rank percentile (fraction in (0, 1]: the smallest value
    // with at least that share of the values at or below it), in µs, as the
    // middle of its bucket. 0 when empty.
    int64_t percentile(double fraction) const;

private:
    static size_t bucket(uint64_t magnitude_us);
    static uint64_t bucket_middle(size_t index);

    std::vector<uint64_t> behind;   // latency >= 0, by bucket of the latency in µs
    std::vector<uint64_t> ahead;    // latency < 0, by bucket of its magnitude
    uint64_t total = 0;
};

}   // namespace ndi_monitor
