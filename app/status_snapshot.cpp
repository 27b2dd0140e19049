#include "app/status_snapshot.h"

#include <cinttypes>

#include "base/format_text.h"

namespace {

constexpr size_t line_size = 1024;   // the whole line, far below a pipe's atomic write

void add_stream(std::string& line, const char* name, const status_snapshot::stream_t& stream)
{
    line += format_text(" %s_captured=%" PRIu64 " %s_sent=%" PRIu64 " %s_dropped=%" PRIu64, name, stream.captured, name,
                        stream.sent, name, stream.dropped);
    if (stream.q >= 0)
        line += format_text(" %s_q=%d", name, stream.q);
    else
        line += format_text(" %s_q=-", name);
    line += format_text(" %s_mbps=%.1f", name, stream.mbps);
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

}   // namespace

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
    text += format_text("%d", int(signal.width));
    text += format_text("x%d", int(height));
    text += signal.interlaced ? "i" : "p";
    text += format_text("%2.2f", double(rate));
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
        text += format_text(" encoder_resets=%" PRIu64, encoder_resets);
        text += format_text(" audio_captured=%" PRIu64 " audio_sent=%" PRIu64 " audio_dropped=%" PRIu64, audio_captured,
                            audio_sent, audio_dropped);
    }
    text += format_text(" receivers=%d tally=%s", receivers, tally_text(tally));
    if (camera_counters)
        text += format_text(" camera_commands=%" PRIu64 " camera_replies=%" PRIu64 " camera_refused=%" PRIu64,
                            camera_commands, camera_replies, camera_refused);
    text += format_text(" replies_dropped=%" PRIu64 "\n", replies_dropped);
    return text;
}
