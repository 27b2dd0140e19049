// What ndi-monitor reports at once: the line for one second, or the summary
// of a whole connection. Written as prose for people, or as one line of
// key=value words for programs (--summary-format kv), which read it back
// with parse() and need no pattern of the prose:
//
//   interval seconds=3.000 dropped=0 late=0 video=SHQ2,shq2 SHQ2.width=1920 SHQ2.height=1080
//       SHQ2.fields=0 SHQ2.pictures=60 SHQ2.bytes=1048576 SHQ2.pic_per_s=60.000 SHQ2.mbit_per_s=8.389
//       SHQ2.q=89 SHQ2.q_low=88 SHQ2.q_high=89 SHQ2.latency_median_ms=4.312 SHQ2.latency_p99_ms=8.900 ...
//       audio.sample_rate=48000 audio.channels=2 audio.blocks=62 audio.samples=49600
//       audio.blocks_per_s=62.000 audio.timecode_jumps=0
//   summary seconds=61.034 ... (the same keys, over the connection)
//
// all on one line. A stream without SpeedHQ pictures has no q keys, one
// without pictures in the span no latency keys; no audio, no audio keys.
// A code that is not four letters or digits is written as 0x and its
// eight hex digits.
//
// Thread rules: none; values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ndi_monitor {

// One video stream, by its four-character code.
struct video_report {
    std::string code;   // "SHQ2", "shq2", ...
    int width = 0, height = 0;
    bool fields = false;   // interlaced input: each picture is a field
    uint64_t pictures = 0, bytes = 0;
    double pictures_per_second = 0, mbit_per_second = 0;
    int q_last = -1, q_low = -1, q_high = -1;   // -1: no SpeedHQ picture
    bool has_latency = false;
    double latency_median_ms = 0, latency_p99_ms = 0;

    // "SHQ2 1920x1080", or "SHQ2 1920x540 fields".
    std::string name() const;
    // A preview stream's code is in lower case.
    bool preview() const;
};

struct audio_report {
    int sample_rate = 0, channels = 0;
    uint64_t blocks = 0, samples = 0;
    double blocks_per_second = 0;
    uint64_t timecode_jumps = 0;   // blocks off the block rate by more than 4 ms, since the connection began
};

struct monitor_report {
    enum class span { interval, connection };
    span covers = span::interval;
    // An interval: the seconds since the connection at its end; the
    // connection: how long it lasted.
    double seconds = 0;
    std::vector<video_report> video;   // in the order of their codes
    std::optional<audio_report> audio;
    uint64_t dropped = 0, late = 0;

    // The stream of that code, or the first full (preview: lower-case) stream.
    const video_report* find(const std::string& code) const;
    const video_report* stream(bool preview) const;

    // The interval's line (no newline), or the summary's lines after its
    // "received in N s:" (each with its newline).
    std::string prose() const;
    std::string key_values() const;
    // A line key_values() wrote; nullopt for any other line.
    static std::optional<monitor_report> parse(const std::string& line);
};

// The last summary in the output of a monitor run with --summary-format kv,
// and its interval lines in order.
std::optional<monitor_report> last_summary(const std::string& output);
std::vector<monitor_report> interval_reports(const std::string& output);

}   // namespace ndi_monitor
