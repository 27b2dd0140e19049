#include "sim/monitor/stream_statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "sim/monitor/speedhq_codes.h"

namespace ndi_monitor {

namespace {

std::string format(const char* pattern, auto... values)
{
    char text[256];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

double mbit_per_second(uint64_t bytes, double seconds)
{
    return seconds > 0 ? double(bytes) * 8 / seconds / 1e6 : 0;
}

double per_second(uint64_t count, double seconds)
{
    return seconds > 0 ? double(count) / seconds : 0;
}

}  // namespace

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

std::string stream_statistics::q_range::text() const
{
    if (last < 0)
        return "";
    return low == high ? format(", Q %d", last) : format(", Q %d (%d-%d)", last, low, high);
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

std::string stream_statistics::video_tally::text(double seconds) const
{
    std::string text = format("%.1f pic/s, %.1f Mbit/s", per_second(count.frames, seconds),
                              mbit_per_second(count.bytes, seconds));
    text += q.text();
    if (latency.count() > 0)
        text += format(", latency median %.1f ms p99 %.1f ms", double(latency.percentile(0.5)) / 1000,
                       double(latency.percentile(0.99)) / 1000);
    return text;
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

std::string stream_statistics::interval_line(clock::time_point now)
{
    double seconds = std::chrono::duration<double>(now - interval_start).count();
    interval_start = now;
    elapsed += seconds;

    std::string line = format("[%5.0f s]", elapsed);
    bool any = false;
    for (auto& [fourcc, stream] : videos) {
        line += " " + stream_name(fourcc, stream) + " " + stream.interval.text(seconds) + " |";
        stream.interval.clear();
        any = true;
    }
    if (audio_seen) {
        line += format(" audio %.1f blocks/s %d Hz %d ch |", per_second(audio_interval.frames, seconds),
                       last_audio.sample_rate, last_audio.channels);
        audio_interval = {};
        any = true;
    }
    if (!any)
        line += " nothing yet |";
    line += format(" dropped %llu late %llu", (unsigned long long)dropped_interval, (unsigned long long)late_interval);
    dropped_interval = 0;
    late_interval = 0;
    return line;
}

std::string stream_statistics::summary(double connected_seconds) const
{
    std::string text = format("received in %.1f s:\n", connected_seconds);
    for (const auto& [fourcc, stream] : videos)
        text += "  video " + stream_name(fourcc, stream) +
                format(": %llu pictures, %.1f MB, ", (unsigned long long)stream.total.count.frames,
                       double(stream.total.count.bytes) / 1e6) +
                stream.total.text(connected_seconds) + "\n";
    if (audio_seen)
        text += format("  audio %d Hz %d ch: %llu blocks, %llu samples, %llu timecode jumps (off the block rate by over 4 ms)\n", last_audio.sample_rate,
                       last_audio.channels, (unsigned long long)audio_total.frames,
                       (unsigned long long)(audio_total.bytes / 4 / std::max(1, last_audio.channels)),
                       (unsigned long long)timecode_jumps);
    if (videos.empty() && !audio_seen)
        text += "  no media\n";
    text += format("  dropped %llu, late %llu\n", (unsigned long long)dropped_total, (unsigned long long)late_total);
    return text;
}

uint64_t stream_statistics::pictures(uint32_t fourcc) const
{
    auto it = videos.find(fourcc);
    return it == videos.end() ? 0 : it->second.total.count.frames;
}

// "SHQ2 1920x1080", or "SHQ2 1920x540 fields" for interlaced input.
std::string stream_statistics::stream_name(uint32_t fourcc, const video_stream& stream)
{
    return format("%s %dx%d%s", ndi_wire::fourcc_text(fourcc).c_str(), stream.last.xres, stream.last.yres,
                  speedhq::is_field(stream.last.frame_format_type) ? " fields" : "");
}

}  // namespace ndi_monitor
