// What a receiver got, per stream: the figures of ndi-monitor's
// once-a-second line and of its summary (monitor_report.h writes them).
//
// For each video stream: pictures a second, Mbit/s, the Q byte (the first
// byte of a SpeedHQ picture: the last one and the range seen) and the
// capture-to-receive latency, our CLOCK_REALTIME at arrival minus the
// picture's timecode, which the sender stamps with its capture time from the
// same clock (so it means something when sender and receiver share a clock,
// as on the virtual board), as median and 99th percentile.
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

#include "sim/monitor/latency_histogram.h"
#include "sim/monitor/monitor_report.h"
#include "sim/ndi/wire.h"

namespace ndi_monitor {

class stream_statistics {
public:
    using clock = std::chrono::steady_clock;
    static constexpr double late_margin = 0.1;   // seconds

    // When a message arrived, on both of the clocks it is measured against.
    struct arrival_time {
        clock::time_point steady;
        int64_t realtime_100ns = 0;   // CLOCK_REALTIME, the timecodes' clock
        static arrival_time now();
    };

    // The clock starts with the connection.
    void begin(clock::time_point now = clock::now()) { interval_start = now; }

    // picture: the coded bytes as received.
    void video(const ndi_wire::video_fields& video, const uint8_t* picture, size_t bytes, uint32_t dropped,
               arrival_time arrival = arrival_time::now());
    void audio(const ndi_wire::audio_fields& audio, uint32_t dropped, arrival_time arrival = arrival_time::now());

    // The interval since the previous call (or the start).
    monitor_report interval(clock::time_point now = clock::now());
    monitor_report summary(double connected_seconds) const;

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
    struct q_range {
        int last = -1;   // -1: no SpeedHQ picture yet
        int low = 0;
        int high = 0;
        void add(int q);
    };
    // What an interval line or the summary shows of one stream.
    struct video_tally {
        counters count;
        q_range q;
        latency_histogram latency;
        void add(size_t bytes, int quality, int64_t latency_100ns);   // quality -1: none
        void clear();
        video_report report(double seconds) const;
    };
    struct video_stream {
        ndi_wire::video_fields last{};
        video_tally interval, total;
        timing time;
    };

    bool is_late(timing& time, int64_t timecode, clock::time_point arrival);
    video_report report_of(uint32_t fourcc, const video_stream& stream, const video_tally& tally, double seconds) const;
    audio_report audio_report_of(const counters& count, double seconds) const;

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

}   // namespace ndi_monitor
