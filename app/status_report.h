// Gathers what the "status" line reports: the figures come from the
// objects' own counters (relaxed atomics that their threads keep); this
// class reads them and derives the bit rates, and knows nothing of pipes.
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

#include "app/status_snapshot.h"
#include "audio/audio_capture.h"
#include "ndi/network_send.h"
#include "ptz/ptz.h"
#include "video/video_capture.h"

class audio_compress;
class video_compress;

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
    status_snapshot take(clock::time_point now, uint64_t replies_dropped) const;

private:
    sources_t sources;
    rate_meter full_rate, preview_rate;
};
