// What ndi-monitor says at the end of a connection, read back from its
// output: per video stream the pictures, rate, Q and the capture-to-receive
// latency, and the frames dropped for it and late.
//
// Thread rules: none.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bench {

struct monitor_stream {
    std::string code;        // "SHQ2", "shq2", ...
    std::string size;        // "1920x1080", "1920x540 fields"
    uint64_t pictures = 0;
    double pictures_per_second = 0;
    double mbit_per_second = 0;
    int q_last = -1, q_low = -1, q_high = -1;   // -1: not SpeedHQ
    double latency_median_ms = 0, latency_p99_ms = 0;
};

struct monitor_summary {
    std::vector<monitor_stream> video;
    uint64_t audio_blocks = 0;
    uint64_t dropped = 0, late = 0;

    const monitor_stream* stream(bool preview) const;
};

// The last summary in the text; nullopt when there is none.
std::optional<monitor_summary> parse_monitor_summary(const std::string& output);

}  // namespace bench
