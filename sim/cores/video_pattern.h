// What the virtual video input cores capture, apart from any bus: the
// pictures of the board's input signal, their timing, and the layouts they
// are written in. The pixel layouts are described in PIXEL_LAYOUT.md beside
// this file; a model that reads captured buffers (the encoder core) decodes
// them with the same definitions.
//
// The input carries one of two test patterns (the board setting "pattern"):
// "moving" (the default), colour bars that scroll right by scroll_step
// pixels per picture, a band with the picture number as 32 black or white
// blocks, and a stamp (picture_stamp) at the start of the first line that a
// test reads back to see order, repeats and drops; or "bars", the static 75 %
// colour bars of BT.709 at limited range, with neither band nor stamp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "sim/fpga/model_clock.h"
#include "sim/fpga/video_signal.h"

namespace vfpga {

enum class pixel_layout {
    yuv422,   // UYVY, 2 bytes a pixel (format code 1)
    yuv420,   // per line: luma, then half a line of U or V (format code 4)
};

// The vid_in format codes; nullopt for a code the core does not know.
std::optional<pixel_layout> layout_of_format_code(uint8_t code);
// Bytes of one line of a picture width pixels wide.
uint32_t line_pitch(pixel_layout layout, uint32_t width);
// 4:2:0: where the chroma half of a line starts, found from the line pitch
// alone (all a reader such as the encoder core is told): the last third of
// the line, rounded down. For a pitch of width + width / 2 that is width.
uint32_t chroma_offset(uint32_t stride);

enum class test_pattern { moving, bars };
// "moving" or "bars"; nullopt for anything else.
std::optional<test_pattern> parse_test_pattern(const std::string& name);

struct picture_geometry {
    pixel_layout layout = pixel_layout::yuv422;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t stride = 0;   // bytes from one line to the next
    uint32_t scale = 1;    // the input picture is scale times larger

    size_t bytes() const { return size_t(stride) * height; }
};

// The input picture as vid_in writes it.
picture_geometry full_geometry(const video_signal& input, pixel_layout layout);
// The scaled copy pvw_in writes: the factor follows the preview mode and the
// input width as the program's format rules pick them (4:2:0: mode 0 -> 4,
// 1 -> 6; 4:2:2: mode 0 -> 1 up to 720 pixels, else 2; mode 1 -> 3).
// nullopt for a mode other than 0 or 1.
std::optional<picture_geometry> preview_geometry(const video_signal& input, pixel_layout layout, uint8_t mode);

// Written over the first bytes of line 0 of every picture. All numbers are
// little-endian.
struct picture_stamp {
    static constexpr uint8_t magic[4] = {'V', 'P', 'I', 'C'};
    static constexpr size_t size = 16;

    uint32_t number = 0;   // picture (field) number of the input
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t format = 0;   // 0 4:2:2, 1 4:2:0 (as a frame record's format)
    uint8_t field = 2;    // 0 first field, 1 second field, 2 progressive
    uint8_t scale = 1;

    void write(uint8_t* picture) const;
    // nullopt unless the bytes hold a stamp with a good check byte.
    static std::optional<picture_stamp> read(const uint8_t* picture);
};

constexpr uint32_t scroll_step = 8;   // input pixels the bars move per picture

// Writes picture number of the input into out (geometry.bytes() bytes):
// the exact source of any picture a core captured.
void render_picture(uint8_t* out, const picture_geometry& geometry, uint32_t number, uint8_t field,
                    test_pattern pattern = test_pattern::moving);

// The Y'CbCr of bar i (0-7, left to right) of a pattern.
struct bar_colour {
    uint8_t y, cb, cr;
};
bar_colour bar_of(test_pattern pattern, unsigned i);
// Bar i of "bars" covers the columns [bar_start(i), bar_start(i + 1)) of a
// picture width pixels wide.
uint32_t bar_start(unsigned i, uint32_t width);

// The picture number that the counter band of a "moving" picture shows,
// read from its luma plane after coding (luma: plane_width x plane_height
// samples, luma_stride bytes a line) of a picture of geometry source. Each
// bit is the mean of the middle of its block, so coding loss does not
// matter; nullopt when the band does not lie within the plane or a block is
// neither clearly white nor clearly black.
std::optional<uint32_t> read_picture_number(const uint8_t* luma, size_t luma_stride, uint32_t plane_width,
                                            uint32_t plane_height, const picture_geometry& source);

// The picture grid of the input signal: pictures (fields) start every
// period from the moment the signal appeared, and are numbered on from the
// pictures of the signals before, so that numbers only ever grow.
class picture_timeline {
public:
    using duration = model_clock::duration;

    explicit picture_timeline(const video_signal& input) : signal(input) {}

    const video_signal& input() const { return signal; }
    duration period() const { return duration(signal.period_ns()); }

    // The input changed at now.
    void change(const video_signal& input, duration now);
    // Start of the picture a core armed at `armed` captures: the first
    // picture beginning after that (one under way cannot be captured), and
    // not before `after`, the end of the unit it queues behind (a unit of an
    // earlier signal does not count). nullopt without a signal.
    std::optional<duration> next_start(duration armed, std::optional<duration> after) const;
    // Number of the picture starting at start (a start on the grid).
    uint32_t number_at(duration start) const;

private:
    video_signal signal;
    duration origin{0};          // the grid's picture 0 of this signal starts here
    uint64_t first_number = 0;   // its number
};

}   // namespace vfpga
