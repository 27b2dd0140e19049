#include "bench/picture_timing.h"

#include <algorithm>

namespace bench {

std::vector<picture_timing> match_pictures(const std::vector<core_event>& events, const std::vector<send_call>& sends,
                                           int64_t from, int64_t to, int64_t max_wake)
{
    const std::vector<int64_t> captures = times_of(events, "vid_in", "irq");
    const std::vector<int64_t> starts = times_of(events, "encoder0", "start");
    const std::vector<int64_t> coded = times_of(events, "ndi_enc", "irq");

    std::vector<picture_timing> pictures;
    for (const send_call& call : sends) {
        if (!call.video())
            continue;
        picture_timing p;
        p.stream = call.stream;
        p.preview = call.preview();
        p.stamp = call.timecode * 100;
        p.send_call = call.ns;
        if (p.stamp < from || p.stamp >= to)
            continue;
        auto capture = std::upper_bound(captures.begin(), captures.end(), p.stamp);
        if (capture != captures.begin() && p.stamp - *(capture - 1) <= max_wake)
            p.capture_irq = *(capture - 1);
        if (!p.preview) {
            auto start = std::upper_bound(starts.begin(), starts.end(), p.stamp);
            auto end = start == starts.end() ? coded.end() : std::upper_bound(coded.begin(), coded.end(), *start);
            if (start != starts.end() && end != coded.end() && *end <= p.send_call) {
                p.coding_start = *start;
                p.coding_end = *end;
            }
        }
        pictures.push_back(p);
    }
    return pictures;
}

}   // namespace bench
