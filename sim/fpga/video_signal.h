// The video signal at the board's input, as the tracking core measures it and
// the input cores capture it. Held by the board, guarded by its mutex.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vfpga {

struct video_signal {
    bool present = false;
    unsigned width = 0;
    unsigned height = 0;   // lines per picture, per field when interlaced
    bool interlaced = false;
    uint32_t rate_n = 0;   // pictures (fields) per second: rate_n / rate_d
    uint32_t rate_d = 1;

    // Time of one picture (field) in nanoseconds.
    int64_t period_ns() const { return present && rate_n ? int64_t(1000000000) * rate_d / rate_n : 0; }
    // As the tracking core reports it.
    uint32_t period_us() const { return uint32_t((period_ns() + 500) / 1000); }

    // "1080p60", "1080p59.94", "1080i59.94" (59.94 fields of 1920 x 540 a
    // second), "720p50", "1080p23.98", ..., or "none".
    static std::optional<video_signal> parse(const std::string& name);
    std::string name() const;
};

}   // namespace vfpga
