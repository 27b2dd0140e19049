#include "sim/ndi/rate_control.h"

#include <algorithm>
#include <cmath>

namespace ndi_sim {

namespace {

constexpr double full_hd_pixel_rate = 1920.0 * 1080.0 * 60.0;
constexpr double chroma_420_factor = 0.9;
constexpr double preview_factor = 0.6;

constexpr double max_log_scale = 4.605170185988092;   // ln 100
constexpr double max_step = 2.0;                      // per picture, against outliers

}   // namespace

speedhq_stream stream_of(uint32_t fourcc)
{
    char c[4];
    for (int i = 0; i < 4; ++i)
        c[i] = char(fourcc >> (8 * i));
    if (c[3] < '0' || c[3] > '9')
        return speedhq_stream::none;
    if (c[0] == 'S' && c[1] == 'H' && c[2] == 'Q')
        return speedhq_stream::full;
    if (c[0] == 's' && c[1] == 'h' && c[2] == 'q')
        return speedhq_stream::preview;
    return speedhq_stream::none;
}

int target_frame_bytes(const NDIlib_video_frame_v2_t& frame, double full_mbps)
{
    speedhq_stream stream = stream_of(uint32_t(frame.FourCC));
    if (stream == speedhq_stream::none || frame.xres <= 0 || frame.yres <= 0)
        return 0;

    double bits_per_pixel = full_mbps * 1e6 / full_hd_pixel_rate;
    if ((uint32_t(frame.FourCC) >> 24) == '0')
        bits_per_pixel *= chroma_420_factor;
    if (stream == speedhq_stream::preview)
        bits_per_pixel *= preview_factor;

    // The stream's bitrate is bits_per_pixel × pixels × pictures a second,
    // so one picture's share is the same at any rate.
    double bytes = bits_per_pixel * double(frame.xres) * double(frame.yres) / 8.0;
    return int(std::min(bytes, double(INT32_MAX)));
}

rate_control::rate_control() : log_scale(std::log(100.0 - initial_q))
{
}

int rate_control::q() const
{
    std::lock_guard lock(mutex);
    int scale = int(std::lround(std::exp(log_scale)));
    return std::clamp(100 - scale, 0, 99);
}

void rate_control::observe(int64_t size, int64_t target)
{
    if (size <= 0 || target <= 0)
        return;
    double error = std::clamp(std::log(double(size) / double(target)), -max_step, max_step);
    std::lock_guard lock(mutex);
    log_scale = std::clamp(log_scale + gain * error, 0.0, max_log_scale);
}

}   // namespace ndi_sim
