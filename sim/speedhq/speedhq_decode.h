// Reading coded SpeedHQ pictures, for the tests that check them and the
// benchmarks that measure against them: assembly of a picture from the
// slices the encoder cores wrote (the program's trim rule), FFmpeg's
// speedhq decoder, planar pictures with PSNR and region statistics, and the
// exact source of a picture as planes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/cores/video_pattern.h"

// A picture as three planes, lines back to back.
struct yuv_planes {
    enum plane_index { y_plane, cb_plane, cr_plane };

    uint32_t width = 0, height = 0;   // luma
    uint32_t chroma_width = 0, chroma_height = 0;
    std::vector<uint8_t> y, cb, cr;

    const std::vector<uint8_t>& plane(int index) const { return index == y_plane ? y : index == cb_plane ? cb : cr; }
    uint32_t plane_width(int index) const { return index == y_plane ? width : chroma_width; }
    uint32_t plane_height(int index) const { return index == y_plane ? height : chroma_height; }
    uint8_t at(int index, uint32_t x, uint32_t line) const
    {
        return plane(index)[size_t(line) * plane_width(index) + x];
    }
};

struct decode_result {
    std::optional<yuv_planes> picture;
    std::string error;   // empty when picture holds the decoded picture
};

// Decodes one assembled picture with FFmpeg's speedhq decoder. fourcc as
// the program sends it (first character in the low byte); a preview's
// lower-case code is decoded under its upper-case tag, the only ones
// FFmpeg knows.
decode_result speedhq_decode(const std::vector<uint8_t>& packet, uint32_t fourcc, uint32_t width, uint32_t height);

// The four-character codes.
constexpr uint32_t fourcc_of(const char (&code)[5])
{
    return uint32_t(uint8_t(code[0])) | uint32_t(uint8_t(code[1])) << 8 | uint32_t(uint8_t(code[2])) << 16 |
        uint32_t(uint8_t(code[3])) << 24;
}

// The reciprocal table the program loads for quality q (0-99): entry 0 is
// 0x8000, entry i round(2^19 / ((100 - q) * M[i])) capped at 0x8000, M the
// default intra matrix in raster order.
std::array<uint16_t, 64> reciprocals_for_quality(int q);

// The program's trim of one slice of reported length reported at slice:
// trailing zero bytes go, but one stays after a last byte with bit 7 set.
uint32_t trimmed_length(const uint8_t* slice, uint32_t reported);

// A slice where a core wrote it and the length the core reported.
struct coded_slice {
    const uint8_t* data = nullptr;
    uint32_t reported = 0;
};
// Assembles a picture as the program does: header (q, 4, 0, 0), the four
// slices trimmed, each with its length word's low 24 bits rewritten to the
// trimmed length (in the copy), a zero trailer word.
std::vector<uint8_t> assemble_picture(uint8_t q, const std::array<coded_slice, 4>& slices);

// The exact source of a coded picture, as a decoder shows it: the first
// width columns of a picture in its raw layout (PIXEL_LAYOUT.md).
yuv_planes planes_of_source(const uint8_t* picture, vfpga::pixel_layout layout, uint32_t stride, uint32_t width,
                            uint32_t height);

// PSNR in dB over every sample of the three planes (pictures of one size);
// 99 for identical pictures.
double psnr(const yuv_planes& a, const yuv_planes& b);

// Mean, lowest and highest sample of a rectangle of one plane (in that
// plane's samples).
struct region_statistics {
    double mean = 0;
    int lowest = 0, highest = 0;
};
region_statistics region_of(const yuv_planes& picture, int plane, uint32_t x, uint32_t line, uint32_t width,
                            uint32_t lines);
