#pragma once

#include <cstdint>

// The input signal as the tracker describes it to the capture.
struct signal_info {
    uint8_t valid = 0;    // 1 when a format was recognised
    int32_t format = 0;   // 1 = 4:2:0, otherwise 4:2:2; the tracker reports 0
    int32_t reserved0 = 0;
    uint32_t width = 0;    // active pixels per line
    uint32_t height = 0;   // active lines per picture (per field when interlaced)
    int32_t reserved1 = 0;
    uint8_t interlaced = 0;
    uint32_t frame_rate_n = 0;   // e.g. 60000
    uint32_t frame_rate_d = 0;   // 1000 or 1001
};
