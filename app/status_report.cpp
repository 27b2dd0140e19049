#include "app/status_report.h"

#include "audio/audio_compress.h"
#include "video/video_compress.h"

namespace {

void fill_stream(status_snapshot::stream_t& stream, const video_compress::stream_counters_t& counts,
                 const status_report::rate_meter& rate, status_report::clock::time_point now)
{
    stream.sent = counts.sent;
    stream.dropped = counts.dropped;
    stream.q = counts.sent > 0 ? int(counts.q) : -1;
    stream.mbps = rate.mbps(now, counts.bytes_sent);
}

}   // namespace

void status_report::rate_meter::sample(clock::time_point now, uint64_t bytes)
{
    points.push_back({now, bytes});
    // Keep the newest point that is a window old, and everything after it.
    while (points.size() > 1 && now - points[1].when >= window)
        points.pop_front();
}

double status_report::rate_meter::mbps(clock::time_point now, uint64_t bytes) const
{
    if (points.empty())
        return 0;
    const point& from = points.front();
    const double seconds = std::chrono::duration<double>(now - from.when).count();
    if (seconds <= 0 || bytes < from.bytes)
        return 0;
    return double(bytes - from.bytes) * 8 / seconds / 1e6;
}

status_report::status_report(sources_t from) : sources(std::move(from))
{
}

void status_report::sample(clock::time_point now)
{
    if (const auto out = sources.video_out.lock()) {
        const video_compress::counters_t counts = out->counters();
        full_rate.sample(now, counts.stream[0].bytes_sent);
        preview_rate.sample(now, counts.stream[1].bytes_sent);
    }
}

status_snapshot status_report::take(clock::time_point now, uint64_t replies_dropped) const
{
    status_snapshot snapshot;
    // A path left out shows zeros: the keys stay the same whatever the options.
    snapshot.media_counters = true;
    if (sources.video) {
        snapshot.video = true;
        sources.video->get_status(snapshot.signal);
        const video_capture::counters_t captured = sources.video->counters();
        snapshot.full.captured = captured.captured[0];
        snapshot.preview.captured = captured.captured[1];
    }
    if (const auto out = sources.video_out.lock()) {
        const video_compress::counters_t counts = out->counters();
        fill_stream(snapshot.full, counts.stream[0], full_rate, now);
        fill_stream(snapshot.preview, counts.stream[1], preview_rate, now);
        snapshot.encoder_resets = counts.encoder_resets;
    }
    if (sources.audio)
        snapshot.audio_captured = sources.audio->counters().captured;
    if (const auto out = sources.audio_out.lock()) {
        const audio_compress::counters_t counts = out->counters();
        snapshot.audio_sent = counts.sent;
        snapshot.audio_dropped = counts.dropped;
    }
    if (sources.camera) {
        const ptz::counters_t counts = sources.camera->counters();
        snapshot.camera_counters = true;
        snapshot.camera_commands = counts.commands_written;
        snapshot.camera_replies = counts.replies_routed;
        snapshot.camera_refused = counts.datagrams_refused;
    }
    if (sources.sender) {
        snapshot.receivers = sources.sender->receivers();
        snapshot.tally = sources.sender->tally();
    }
    snapshot.replies_dropped = replies_dropped;
    return snapshot;
}
