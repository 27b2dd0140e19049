#include "sim/monitor/stream_statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "sim/monitor/speedhq_codes.h"

namespace ndi_monitor {

namespace {

double mbit_per_second(uint64_t bytes, double seconds)
{
    return seconds > 0 ? double(bytes) * 8 / seconds / 1e6 : 0;
}

double per_second(uint64_t count, double seconds)
{
    return seconds > 0 ? double(count) / seconds : 0;
}

}   // namespace

stream_statistics::arrival_time stream_statistics::arrival_time::now()
{
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    return {clock::now(), int64_t(wall.tv_sec) * 10000000 + wall.tv_nsec / 100};
}

void stream_statistics::q_range::add(int q)
{
    low = last < 0 ? q : std::min(low, q);
    high = last < 0 ? q : std::max(high, q);
    last = q;
}

void stream_statistics::video_tally::add(size_t bytes, int quality, int64_t latency_100ns)
{
    ++count.frames;
    count.bytes += bytes;
    if (quality >= 0)
        q.add(quality);
    latency.add(latency_100ns);
}

void stream_statistics::video_tally::clear()
{
    count = {};
    q = {};
    latency.clear();   // keeps its buckets: no allocation a second
}

video_report stream_statistics::video_tally::report(double seconds) const
{
    video_report r;
    r.pictures = count.frames;
    r.bytes = count.bytes;
    r.pictures_per_second = per_second(count.frames, seconds);
    r.mbit_per_second = mbit_per_second(count.bytes, seconds);
    if (q.last >= 0) {
        r.q_last = q.last;
        r.q_low = q.low;
        r.q_high = q.high;
    }
    r.has_latency = latency.count() > 0;
    if (r.has_latency) {
        r.latency_median_ms = double(latency.percentile(0.5)) / 1000;
        r.latency_p99_ms = double(latency.percentile(0.99)) / 1000;
    }
    return r;
}

void stream_statistics::video(const ndi_wire::video_fields& video, const uint8_t* picture, size_t bytes,
                              uint32_t dropped, arrival_time arrival)
{
    video_stream& stream = videos[video.fourcc];
    stream.last = video;
    int q = speedhq::is_speedhq(video.fourcc) && bytes > 0 ? picture[0] : -1;
    int64_t latency = arrival.realtime_100ns - video.timecode;
    stream.interval.add(bytes, q, latency);
    stream.total.add(bytes, q, latency);
    dropped_interval += dropped;
    dropped_total += dropped;
    if (is_late(stream.time, video.timecode, arrival.steady)) {
        ++late_interval;
        ++late_total;
    }
}

void stream_statistics::audio(const ndi_wire::audio_fields& audio, uint32_t dropped, arrival_time arrival)
{
    uint64_t bytes = uint64_t(audio.channels) * uint64_t(audio.samples) * 4;
    ++audio_interval.frames;
    ++audio_total.frames;
    audio_interval.bytes += bytes;
    audio_total.bytes += bytes;
    dropped_interval += dropped;
    dropped_total += dropped;
    if (is_late(audio_time, audio.timecode, arrival.steady)) {
        ++late_interval;
        ++late_total;
    }

    int64_t block = audio.sample_rate > 0 ? int64_t(audio.samples) * 10000000 / audio.sample_rate : 0;
    if (audio_seen) {
        int64_t tolerance = std::max<int64_t>(20000, block / 4);
        if (std::llabs(audio.timecode - expected_audio_timecode) > tolerance)
            ++timecode_jumps;
    }
    audio_seen = true;
    last_audio = audio;
    expected_audio_timecode = audio.timecode + block;
}

bool stream_statistics::is_late(timing& time, int64_t timecode, clock::time_point arrival)
{
    if (!time.started) {
        time.started = true;
        time.first_arrival = arrival;
        time.first_timecode = timecode;
        time.best_lateness = 0;
        return false;
    }
    double arrived = std::chrono::duration<double>(arrival - time.first_arrival).count();
    double due = double(timecode - time.first_timecode) / 1e7;
    double lateness = arrived - due;
    time.best_lateness = std::min(time.best_lateness, lateness);
    return lateness - time.best_lateness > late_margin;
}

monitor_report stream_statistics::interval(clock::time_point now)
{
    const double seconds = std::chrono::duration<double>(now - interval_start).count();
    interval_start = now;
    elapsed += seconds;

    monitor_report report;
    report.covers = monitor_report::span::interval;
    report.seconds = elapsed;
    for (auto& [fourcc, stream] : videos) {
        report.video.push_back(report_of(fourcc, stream, stream.interval, seconds));
        stream.interval.clear();
    }
    if (audio_seen)
        report.audio = audio_report_of(audio_interval, seconds);
    audio_interval = {};
    report.dropped = dropped_interval;
    report.late = late_interval;
    dropped_interval = 0;
    late_interval = 0;
    return report;
}

monitor_report stream_statistics::summary(double connected_seconds) const
{
    monitor_report report;
    report.covers = monitor_report::span::connection;
    report.seconds = connected_seconds;
    for (const auto& [fourcc, stream] : videos)
        report.video.push_back(report_of(fourcc, stream, stream.total, connected_seconds));
    if (audio_seen)
        report.audio = audio_report_of(audio_total, connected_seconds);
    report.dropped = dropped_total;
    report.late = late_total;
    return report;
}

uint64_t stream_statistics::pictures(uint32_t fourcc) const
{
    auto it = videos.find(fourcc);
    return it == videos.end() ? 0 : it->second.total.count.frames;
}

video_report stream_statistics::report_of(uint32_t fourcc, const video_stream& stream, const video_tally& tally,
                                          double seconds) const
{
    video_report r = tally.report(seconds);
    r.code = ndi_wire::fourcc_text(fourcc);
    r.width = stream.last.xres;
    r.height = stream.last.yres;
    r.fields = speedhq::is_field(stream.last.frame_format_type);
    return r;
}

audio_report stream_statistics::audio_report_of(const counters& count, double seconds) const
{
    audio_report r;
    r.sample_rate = last_audio.sample_rate;
    r.channels = last_audio.channels;
    r.blocks = count.frames;
    r.samples = count.bytes / 4 / uint64_t(std::max(1, last_audio.channels));
    r.blocks_per_second = per_second(count.frames, seconds);
    r.timecode_jumps = timecode_jumps;
    return r;
}

}   // namespace ndi_monitor
