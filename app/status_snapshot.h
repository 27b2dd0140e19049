// What the "status" line reports, and the line itself: one line of
// key=value pairs for a supervisor (docs/program.md, "The status line"). A
// plain record, filled by status_report from the objects' counters.
#pragma once

#include <cstdint>
#include <string>

#include "ndi/ndi_lib.h"
#include "video/signal_info.h"

// A signal as the control pipe writes it: 1920x1080p59.94, or 1920x1080i59.94
// for fields of 1920 x 540 at 59.94 (lines and rate doubled, as frames).
std::string signal_text(const signal_info& signal);

struct status_snapshot {
    struct stream_t {
        uint64_t captured = 0;   // pictures (fields, for interlaced input)
        uint64_t sent = 0;       // handed to NDI
        uint64_t dropped = 0;    // captured and never sent
        int q = -1;              // of the last coded picture; -1 before the first
        double mbps = 0;         // coded bits sent over the last second
    };

    bool video = false;   // the video path was made (no -X)
    signal_info signal;
    bool media_counters = false;   // the compressors' counters below are filled
    stream_t full, preview;
    uint64_t encoder_resets = 0;
    uint64_t audio_captured = 0, audio_sent = 0, audio_dropped = 0;
    int receivers = 0;
    NDIlib_tally_t tally{};
    bool camera_counters = false;   // the camera link's counters below are filled
    uint64_t camera_commands = 0, camera_replies = 0, camera_refused = 0;
    uint64_t replies_dropped = 0;   // control-pipe replies the supervisor did not take

    // "status" and the pairs, with a newline; well under a pipe's atomic write.
    std::string line() const;
};
