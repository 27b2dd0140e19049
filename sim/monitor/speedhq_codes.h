// SpeedHQ's four-character codes as senders use them: upper-case "SHQn" on
// the full stream, lower-case "shqn" on the preview stream, the same
// bitstream either way; the digit is the chroma layout (0 4:2:0, 2 4:2:2).
// FFmpeg's decoder knows the upper-case codes only.
#pragma once

#include <cstdint>

namespace ndi_monitor::speedhq {

// "shq0" → "SHQ0": the three letters upper-cased, the digit kept.
inline uint32_t decoder_tag(uint32_t fourcc)
{
    uint32_t tag = fourcc;
    for (int i = 0; i < 3; ++i) {
        uint32_t c = (fourcc >> (8 * i)) & 0xFF;
        if (c >= 'a' && c <= 'z')
            tag &= ~(uint32_t(0x20) << (8 * i));
    }
    return tag;
}

inline bool is_speedhq(uint32_t fourcc)
{
    return (decoder_tag(fourcc) & 0xFFFFFF) == (uint32_t('S') | uint32_t('H') << 8 | uint32_t('Q') << 16);
}

inline bool is_full_stream(uint32_t fourcc)
{
    return is_speedhq(fourcc) && decoder_tag(fourcc) == fourcc;
}

inline bool is_420(uint32_t fourcc)
{
    return (fourcc >> 24) == '0';
}

// NDI's frame format types for the two fields of an interlaced frame; each
// field travels as a picture of its own.
constexpr int32_t format_field_0 = 2;
constexpr int32_t format_field_1 = 3;

inline bool is_field(int32_t frame_format_type)
{
    return frame_format_type == format_field_0 || frame_format_type == format_field_1;
}

}   // namespace ndi_monitor::speedhq
