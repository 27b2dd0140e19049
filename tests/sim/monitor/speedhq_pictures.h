// SpeedHQ pictures for the monitor's tests, coded by FFmpeg's own speedhq
// encoder from pictures whose content the tests know: the 75 % colour bars
// of BT.709 in limited range, rotated by a number of bars so that pictures
// can be told apart.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "sim/ndi/wire.h"

struct AVCodecContext;
struct AVFrame;

namespace ndi_test {

struct colour {
    int y, cb, cr;   // limited range
    int r, g, b;     // the same colour in full-range RGB
};

// Left to right: white, yellow, cyan, green, magenta, red, blue, black.
inline constexpr std::array<colour, 8> bars = {{
    {180, 128, 128, 191, 191, 191},
    {168, 44, 136, 191, 191, 0},
    {145, 147, 44, 0, 191, 191},
    {133, 63, 52, 0, 191, 0},
    {63, 193, 204, 191, 0, 191},
    {51, 109, 212, 191, 0, 0},
    {28, 212, 120, 0, 0, 191},
    {16, 128, 128, 0, 0, 0},
}};

// The colour of bar position `bar` in a picture rotated by `rotation`.
inline const colour& bar_colour(int bar, int rotation)
{
    return bars[size_t((bar + rotation) % 8)];
}

struct yuv_picture {
    int width = 0;
    int height = 0;
    bool chroma_420 = false;
    std::vector<uint8_t> y, cb, cr;
};

// Eight bars of width / 8; rotation r shows bar (i + r) mod 8 at position i.
yuv_picture colour_bars(int width, int height, bool chroma_420, int rotation = 0);

class speedhq_encoder {
public:
    speedhq_encoder(int width, int height, bool chroma_420);
    ~speedhq_encoder();
    speedhq_encoder(const speedhq_encoder&) = delete;
    speedhq_encoder& operator=(const speedhq_encoder&) = delete;

    // One picture, with the Q byte q (FFmpeg's encoder makes even Q from 38 to 96).
    std::vector<uint8_t> encode(const yuv_picture& picture, int q);

private:
    AVCodecContext* context = nullptr;
    AVFrame* frame = nullptr;
    int64_t pictures = 0;
};

// How such a picture travels: the fixed fields of a video message, at the
// 59.94 rate; format type 1 progressive, 2 and 3 the fields.
inline ndi_wire::video_fields picture_fields(uint32_t fourcc, int width, int height, int64_t timecode,
                                             int format_type = 1)
{
    ndi_wire::video_fields video;
    video.xres = width;
    video.yres = height;
    video.fourcc = fourcc;
    video.frame_rate_n = 60000;
    video.frame_rate_d = 1001;
    video.frame_format_type = format_type;
    video.timecode = timecode;
    return video;
}

}   // namespace ndi_test
