#include "sim/monitor/stream_statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

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

}  // namespace

void stream_statistics::video(const ndi_wire::video_fields& video, size_t bytes, uint32_t dropped,
                              clock::time_point arrival)
{
    video_stream& stream = videos[video.fourcc];
    stream.last = video;
    ++stream.interval.frames;
    ++stream.total.frames;
    stream.interval.bytes += bytes;
    stream.total.bytes += bytes;
    dropped_interval += dropped;
    dropped_total += dropped;
    if (is_late(stream.time, video.timecode, arrival)) {
        ++late_interval;
        ++late_total;
    }
}

void stream_statistics::audio(const ndi_wire::audio_fields& audio, uint32_t dropped, clock::time_point arrival)
{
    uint64_t bytes = uint64_t(audio.channels) * uint64_t(audio.samples) * 4;
    ++audio_interval.frames;
    ++audio_total.frames;
    audio_interval.bytes += bytes;
    audio_total.bytes += bytes;
    dropped_interval += dropped;
    dropped_total += dropped;
    if (is_late(audio_time, audio.timecode, arrival)) {
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
        line += format(" %s %dx%d %.1f pic/s %.1f Mbit/s |", ndi_wire::fourcc_text(fourcc).c_str(), stream.last.xres,
                       stream.last.yres, seconds > 0 ? double(stream.interval.frames) / seconds : 0.0,
                       mbit_per_second(stream.interval.bytes, seconds));
        stream.interval = {};
        any = true;
    }
    if (audio_seen) {
        line += format(" audio %.1f blocks/s %d Hz %d ch |", seconds > 0 ? double(audio_interval.frames) / seconds : 0.0,
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
        text += format("  video %s %dx%d: %llu pictures, %.1f MB, %.1f pic/s, %.1f Mbit/s\n",
                       ndi_wire::fourcc_text(fourcc).c_str(), stream.last.xres, stream.last.yres,
                       (unsigned long long)stream.total.frames, double(stream.total.bytes) / 1e6,
                       connected_seconds > 0 ? double(stream.total.frames) / connected_seconds : 0.0,
                       mbit_per_second(stream.total.bytes, connected_seconds));
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
    return it == videos.end() ? 0 : it->second.total.frames;
}

}  // namespace ndi_monitor
