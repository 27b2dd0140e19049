// FFmpeg's own software SpeedHQ encoder (libavcodec's "speedhq", on one
// thread): the peer that the encoder cores and the program are measured
// against.
//
// Thread rules: none; the caller's thread codes.
#pragma once

#include <string>
#include <vector>

#include "sim/speedhq/speedhq_decode.h"

namespace bench {

// CPU milliseconds per picture to code count pictures, going round the
// given ones (planar, all of one size), at the qscale whose header byte
// is quality. Negative when this FFmpeg has no SpeedHQ encoder.
double ffmpeg_speedhq_ms(const std::vector<yuv_planes>& pictures, bool yuv420, int quality, int count);

// count consecutive pictures (fields, for interlaced input) of an input
// signal such as "1080p59.94", as the virtual video input core captures
// them in 4:2:2, from picture number first on.
std::vector<yuv_planes> input_pictures(const std::string& signal, int count, uint32_t first = 1000);

}   // namespace bench
