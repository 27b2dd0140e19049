#include "app/status_report.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

namespace {

constexpr size_t line_size = 1024;   // the whole line, far below a pipe's atomic write

// Appends printf-formatted text to line.
void add(std::string& line, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void add(std::string& line, const char* fmt, ...)
{
    char piece[128];
    va_list args;
    va_start(args, fmt);
    vsnprintf(piece, sizeof piece, fmt, args);
    va_end(args);
    line += piece;
}

void add_stream(std::string& line, const char* name, const status_report::stream_t& stream)
{
    add(line, " %s_captured=%" PRIu64 " %s_sent=%" PRIu64 " %s_dropped=%" PRIu64, name, stream.captured, name,
        stream.sent, name, stream.dropped);
    if (stream.q >= 0)
        add(line, " %s_q=%d", name, stream.q);
    else
        add(line, " %s_q=-", name);
    add(line, " %s_mbps=%.1f", name, stream.mbps);
}

const char* tally_text(const NDIlib_tally_t& tally)
{
    if (tally.on_program && tally.on_preview)
        return "program+preview";
    if (tally.on_program)
        return "program";
    if (tally.on_preview)
        return "preview";
    return "off";
}

}  // namespace

std::string signal_text(const signal_info& signal)
{
    uint32_t height = signal.height;
    uint32_t rate_n = signal.frame_rate_n;
    if (signal.interlaced) {
        height *= 2;
        rate_n *= 2;
    }
    const float rate = signal.frame_rate_d ? float(rate_n) / float(signal.frame_rate_d) : 0.0f;
    std::string text;
    add(text, "%d", int(signal.width));
    add(text, "x%d", int(height));
    text += signal.interlaced ? "i" : "p";
    add(text, "%2.2f", double(rate));
    return text;
}

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

status_report::status_report(sources_t from) : sources(std::move(from)) {}

void status_report::sample(clock::time_point)
{
}

status_report::snapshot_t status_report::take(clock::time_point, uint64_t replies_dropped) const
{
    snapshot_t snapshot;
    if (sources.video) {
        snapshot.video = true;
        sources.video->get_status(snapshot.signal);
    }
    if (sources.sender) {
        snapshot.receivers = sources.sender->receivers();
        snapshot.tally = sources.sender->tally();
    }
    snapshot.replies_dropped = replies_dropped;
    return snapshot;
}

std::string status_report::format(const snapshot_t& snapshot)
{
    std::string line = "status";
    line.reserve(line_size);
    if (!snapshot.video)
        line += " signal=off";
    else if (!snapshot.signal.valid || snapshot.signal.width == 0 || snapshot.signal.height == 0)
        line += " signal=none";
    else
        line += " signal=" + signal_text(snapshot.signal);
    if (snapshot.media_counters) {
        add_stream(line, "full", snapshot.full);
        add_stream(line, "preview", snapshot.preview);
        add(line, " encoder_resets=%" PRIu64, snapshot.encoder_resets);
        add(line, " audio_captured=%" PRIu64 " audio_sent=%" PRIu64 " audio_dropped=%" PRIu64,
            snapshot.audio_captured, snapshot.audio_sent, snapshot.audio_dropped);
    }
    add(line, " receivers=%d tally=%s", snapshot.receivers, tally_text(snapshot.tally));
    if (snapshot.camera_counters)
        add(line, " camera_commands=%" PRIu64 " camera_replies=%" PRIu64 " camera_refused=%" PRIu64,
            snapshot.camera_commands, snapshot.camera_replies, snapshot.camera_refused);
    add(line, " replies_dropped=%" PRIu64 "\n", snapshot.replies_dropped);
    return line;
}
