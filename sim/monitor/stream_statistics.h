// What a receiver got, per stream: the once-a-second line and the summary
// of ndi-monitor.
//
// A frame is late when it arrives more than late_margin after the best
// alignment of its stream's timecodes with the arrival clock seen so far;
// this needs no agreement between the sender's clock and ours. An audio
// timecode jump is a block whose timecode does not follow on from the
// previous block's end within a quarter block or 2 ms, whichever is more:
// the timecodes are capture times, so scheduling jitter shows here too;
// only the samples themselves tell a real gap.
//
// Thread rules: none; the monitor's one thread owns it.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

#include "sim/ndi/wire.h"

namespace ndi_monitor {

class stream_statistics {
public:
    using clock = std::chrono::steady_clock;
    static constexpr double late_margin = 0.1;   // seconds

    // The clock starts with the connection.
    void begin(clock::time_point now = clock::now()) { interval_start = now; }

    void video(const ndi_wire::video_fields& video, size_t bytes, uint32_t dropped,
               clock::time_point arrival = clock::now());
    void audio(const ndi_wire::audio_fields& audio, uint32_t dropped, clock::time_point arrival = clock::now());

    // The line for the interval since the previous call (or the start).
    std::string interval_line(clock::time_point now = clock::now());
    std::string summary(double connected_seconds) const;

    uint64_t pictures(uint32_t fourcc) const;
    uint64_t audio_blocks() const { return audio_total.frames; }
    uint64_t dropped() const { return dropped_total; }
    uint64_t late() const { return late_total; }
    uint64_t audio_timecode_jumps() const { return timecode_jumps; }

private:
    struct counters {
        uint64_t frames = 0;
        uint64_t bytes = 0;
    };
    struct timing {
        bool started = false;
        clock::time_point first_arrival{};
        int64_t first_timecode = 0;
        double best_lateness = 0;
    };
    struct video_stream {
        ndi_wire::video_fields last{};
        counters interval, total;
        timing time;
    };

    bool is_late(timing& time, int64_t timecode, clock::time_point arrival);

    std::map<uint32_t, video_stream> videos;   // by four-character code
    counters audio_interval, audio_total;
    timing audio_time;
    ndi_wire::audio_fields last_audio{};
    bool audio_seen = false;
    int64_t expected_audio_timecode = 0;
    uint64_t timecode_jumps = 0;
    uint64_t dropped_interval = 0, dropped_total = 0;
    uint64_t late_interval = 0, late_total = 0;
    clock::time_point interval_start{};
    double elapsed = 0;   // seconds covered by interval lines so far
};

}  // namespace ndi_monitor
