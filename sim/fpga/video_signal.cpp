#include "sim/fpga/video_signal.h"

#include <cmath>
#include <cstdio>

namespace vfpga {

std::optional<video_signal> video_signal::parse(const std::string& name)
{
    if (name == "none")
        return video_signal{};
    unsigned lines = 0;
    char scan = 0;
    double rate = 0;
    int used = 0;
    if (sscanf(name.c_str(), "%u%c%lf%n", &lines, &scan, &rate, &used) != 3 || size_t(used) != name.size())
        return std::nullopt;
    if ((scan != 'p' && scan != 'i') || rate <= 0 || rate > 240)
        return std::nullopt;
    video_signal signal;
    signal.present = true;
    signal.interlaced = scan == 'i';
    if (lines == 1080) {
        signal.width = 1920;
        signal.height = signal.interlaced ? 540 : 1080;
    } else if (lines == 720 && !signal.interlaced) {
        signal.width = 1280;
        signal.height = 720;
    } else {
        return std::nullopt;
    }
    // 59.94, 29.97, 23.98 and the like are the 1000/1001 rates.
    const double whole = std::round(rate);
    if (std::fabs(rate - whole) < 1e-6) {
        signal.rate_n = uint32_t(whole) * 1000;
        signal.rate_d = 1000;
    } else if (std::fabs(rate - std::ceil(rate) * 1000 / 1001) < 0.01) {
        signal.rate_n = uint32_t(std::ceil(rate)) * 1000;
        signal.rate_d = 1001;
    } else {
        return std::nullopt;
    }
    return signal;
}

std::string video_signal::name() const
{
    if (!present)
        return "none";
    char text[32];
    const unsigned lines = interlaced ? height * 2 : height;
    if (rate_d == 1000)
        snprintf(text, sizeof text, "%u%c%u", lines, interlaced ? 'i' : 'p', rate_n / 1000);
    else
        snprintf(text, sizeof text, "%u%c%.2f", lines, interlaced ? 'i' : 'p', double(rate_n) / rate_d);
    return text;
}

}   // namespace vfpga
