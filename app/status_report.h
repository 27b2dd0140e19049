// The "status" line: how the streams, the receivers and the camera link are
// doing, for a supervisor, as one line of key=value pairs (README, "The
// status line"). The figures come from the objects' own counters (relaxed
// atomics that their threads keep); this class reads them and derives the
// bit rates, and knows nothing of pipes.
//
// Owned and used by the main thread alone. It holds the objects it reads
// only for the length of the command loop, which ends before main releases
// them; the compressors, which main gives up early, are held weakly.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "audio/audio_capture.h"
#include "ndi/network_send.h"
#include "ptz/ptz.h"
#include "video/signal_info.h"
#include "video/video_capture.h"

class audio_compress;
class video_compress;

// A signal as the control pipe writes it: 1920x1080p59.94, or 1920x1080i59.94
// for fields of 1920 x 540 at 59.94 (lines and rate doubled, as frames).
std::string signal_text(const signal_info& signal);

class status_report {
public:
    using clock = std::chrono::steady_clock;

    // Bytes a counter had at a moment, a few of them back: the rate over
    // the last second from a counter that only ever grows.
    class rate_meter {
    public:
        static constexpr auto window = std::chrono::seconds(1);
        void sample(clock::time_point now, uint64_t bytes);
        // Mbit/s from the newest sample at least a window old (or the oldest
        // there is, early on) to now; 0 without samples.
        double mbps(clock::time_point now, uint64_t bytes) const;

    private:
        struct point {
            clock::time_point when;
            uint64_t bytes;
        };
        std::deque<point> points;
    };

    struct stream_t {
        uint64_t captured = 0;   // pictures (fields, for interlaced input)
        uint64_t sent = 0;       // handed to NDI
        uint64_t dropped = 0;    // captured and never sent
        int q = -1;              // of the last coded picture; -1 before the first
        double mbps = 0;         // coded bits sent over the last second
    };

    struct snapshot_t {
        bool video = false;      // the video path was made (no -X)
        signal_info signal;
        bool media_counters = false;   // the compressors' counters below are filled
        stream_t full, preview;
        uint64_t encoder_resets = 0;
        uint64_t audio_captured = 0, audio_sent = 0, audio_dropped = 0;
        int receivers = 0;
        NDIlib_tally_t tally{};
        bool camera_counters = false;  // the camera link's counters below are filled
        uint64_t camera_commands = 0, camera_replies = 0, camera_refused = 0;
        uint64_t replies_dropped = 0;  // control-pipe replies the supervisor did not take
    };

    // Any of them may be null: a path left out (-X, -x), or a test.
    struct sources_t {
        std::shared_ptr<video_capture> video;
        std::weak_ptr<video_compress> video_out;
        std::shared_ptr<audio_capture> audio;
        std::weak_ptr<audio_compress> audio_out;
        std::shared_ptr<network_send> sender;
        std::shared_ptr<ptz> camera;
    };

    // How often the loop should call sample() for the bit rates.
    static constexpr auto sample_period = std::chrono::milliseconds(500);

    explicit status_report(sources_t sources);

    void sample(clock::time_point now);
    snapshot_t take(clock::time_point now, uint64_t replies_dropped) const;

    // "status" and the pairs, with a newline.
    static std::string format(const snapshot_t& snapshot);

private:
    sources_t sources;
    rate_meter full_rate, preview_rate;
};
