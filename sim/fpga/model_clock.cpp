#include "sim/fpga/model_clock.h"

#include <string>

namespace vfpga {

model_clock::model_clock(mode m) : clock_mode(m), origin(std::chrono::steady_clock::now())
{
}

model_clock::duration model_clock::now() const
{
    if (clock_mode == mode::realtime)
        return std::chrono::steady_clock::now() - origin;
    return duration(virtual_ns.load());
}

void model_clock::advance(duration step)
{
    virtual_ns += step.count();
}

void model_clock::advance_to(duration t)
{
    int64_t seen = virtual_ns.load();
    while (seen < t.count() && !virtual_ns.compare_exchange_weak(seen, t.count())) {
    }
}

model_clock::mode parse_clock_mode(const std::string& text)
{
    if (text == "fast")
        return model_clock::mode::fast;
    if (text == "stepped")
        return model_clock::mode::stepped;
    return model_clock::mode::realtime;
}

}   // namespace vfpga
