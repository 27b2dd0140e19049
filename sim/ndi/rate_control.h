// Rate control of the stand-in: the bitrate model behind
// NDIlib_send_get_target_frame_size and the closed loop behind
// NDIlib_send_get_q_factor.
//
// The coder's quantiser scale is 100 − Q: a larger Q quantises more finely
// and makes larger pictures. Coded size falls roughly in proportion to the
// scale, so the loop works on log(scale): each picture sent moves it by a
// fraction of log(size / target), an integral controller whose gain stays
// stable with the two or three pictures the encoder pipeline keeps in
// flight between asking for Q and sending the result.
#pragma once

#include <cstdint>
#include <mutex>

#include "ndi/ndi_lib.h"

namespace ndi_sim {

// Which SpeedHQ stream a four-character code belongs to: "SHQ" + digit is
// the full-resolution stream, "shq" + digit the preview stream.
enum class speedhq_stream { none, full, preview };
speedhq_stream stream_of(uint32_t fourcc);

// Target size in bytes of one coded picture of that description, from a
// bitrate proportional to pixels × picture rate: full_mbps (about 140 by
// default) for a 4:2:2 1080p60 full stream, a tenth less for 4:2:0, 60 % of
// that for the preview codes. Fields are pictures of their own (yres is the
// field's). 0 for codes that are not SpeedHQ or nonsensical sizes.
constexpr double default_full_mbps = 140;
int target_frame_bytes(const NDIlib_video_frame_v2_t& frame, double full_mbps = default_full_mbps);

// The loop of one stream. Thread rules: q() is asked by the compression
// thread while observe() is called by that stream's send thread; the mutex
// guards log_scale.
class rate_control {
public:
    static constexpr int initial_q = 60;
    static constexpr double gain = 0.2;

    rate_control();

    int q() const;

    // One picture of size bytes was sent for a target of target bytes.
    void observe(int64_t size, int64_t target);

private:
    mutable std::mutex mutex;
    double log_scale;   // ln(100 − Q), kept between ln 1 and ln 100
};

}   // namespace ndi_sim
