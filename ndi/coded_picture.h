// What the NDI sender needs of one coded picture: its description and its
// assembled bytes. The video compressor's record (video_compress::frame_t)
// is one; the sender sees only this part of it, so that the NDI layer does
// not depend on the video path that feeds it.
#pragma once

#include <cstdint>
#include <memory>

struct coded_picture {
    uint32_t width = 0;   // coded width
    uint32_t height = 0;
    uint32_t frame_rate_n = 0;
    uint32_t frame_rate_d = 0;
    int32_t fourcc = 0;                // first character in the low byte
    int64_t timestamp = 0;             // capture time, 100 ns units
    int32_t field = 0;                 // 0 first field, 1 second field, 2 progressive
    std::unique_ptr<uint8_t[]> data;   // the assembled picture
    uint32_t size = 0;                 // bytes of data
};
