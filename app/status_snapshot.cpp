#include "app/status_snapshot.h"

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

void add_stream(std::string& line, const char* name, const status_snapshot::stream_t& stream)
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

std::string status_snapshot::line() const
{
    std::string text = "status";
    text.reserve(line_size);
    if (!video)
        text += " signal=off";
    else if (!signal.valid || signal.width == 0 || signal.height == 0)
        text += " signal=none";
    else
        text += " signal=" + signal_text(signal);
    if (media_counters) {
        add_stream(text, "full", full);
        add_stream(text, "preview", preview);
        add(text, " encoder_resets=%" PRIu64, encoder_resets);
        add(text, " audio_captured=%" PRIu64 " audio_sent=%" PRIu64 " audio_dropped=%" PRIu64,
            audio_captured, audio_sent, audio_dropped);
    }
    add(text, " receivers=%d tally=%s", receivers, tally_text(tally));
    if (camera_counters)
        add(text, " camera_commands=%" PRIu64 " camera_replies=%" PRIu64 " camera_refused=%" PRIu64,
            camera_commands, camera_replies, camera_refused);
    add(text, " replies_dropped=%" PRIu64 "\n", replies_dropped);
    return text;
}
