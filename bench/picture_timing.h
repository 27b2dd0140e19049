// The road of each sent picture through the board, from the records of a
// run: the capture core's interrupt that ended it, the capture time the
// program stamped on it (its timecode), for the full-resolution stream the
// encoder run that coded it, and the NDI send call.
//
// A picture's capture interrupt is the last one of vid_in at or before its
// stamp (the program stamps a picture when that interrupt wakes it). Its
// encoder run is the first start of encoder 0 after the stamp and the first
// rise of the encoder interrupt after that start: the full picture of a
// pair is coded first, and a run still going at the stamp started before
// it.
//
// Thread rules: none.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench/board_records.h"

namespace bench {

struct picture_timing {
    std::string stream;          // the four-character code
    int64_t capture_irq = -1;    // ns; -1: no interrupt found
    int64_t stamp = 0;           // the timecode, in ns
    int64_t coding_start = -1;   // ns; -1: not known (preview pictures, or no run found)
    int64_t coding_end = -1;
    int64_t send_call = 0;
    bool preview = false;

    bool coded_known() const { return coding_start >= 0 && coding_end >= coding_start; }
};

// The video pictures whose stamp lies in [from, to). A capture interrupt
// more than max_wake before the stamp does not count as the picture's.
std::vector<picture_timing> match_pictures(const std::vector<core_event>& events, const std::vector<send_call>& sends,
                                           int64_t from, int64_t to, int64_t max_wake = 50000000);

}   // namespace bench
