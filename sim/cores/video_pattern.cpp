#include "sim/cores/video_pattern.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

namespace vfpga {

namespace {

struct yuv {
    uint8_t y, u, v;
};

// Full-range colour bars: white, yellow, cyan, green, magenta, red, blue,
// black (BT.601 studio levels).
constexpr yuv bars_100[8] = {
    {235, 128, 128}, {210, 16, 146}, {170, 166, 16}, {145, 54, 34},
    {106, 202, 222}, {81, 90, 240},  {41, 240, 110}, {16, 128, 128},
};
constexpr yuv white = bars_100[0];
constexpr yuv black = bars_100[7];

// The classic 75 % bars, BT.709 at limited range, in the same order.
constexpr yuv bars_75[8] = {
    {180, 128, 128}, {168, 44, 136}, {145, 147, 44}, {133, 63, 52},
    {63, 193, 204},  {51, 109, 212}, {28, 212, 120}, {16, 128, 128},
};

// The counter band, in input lines.
constexpr uint32_t band_first = 16;
constexpr uint32_t band_end = 48;

enum class row_kind { bars, counter };

// The moving bars carry fine detail: a grid of soft luma dots that moves
// with them. Flat bars code to the same few bits whatever the quality
// factor, which leaves the NDI runtime's rate control nothing to steer; the
// detail makes a picture's size follow Q as a camera picture's does. The
// detail repeats every detail_columns input pixels and detail_rows input
// lines, and is 0 on every detail_rows-th line.
constexpr uint32_t detail_columns = 13;
constexpr uint32_t detail_rows = 9;
constexpr double detail_amplitude = 40;

using detail_table = std::array<std::array<int8_t, detail_columns>, detail_rows>;

const detail_table& detail()
{
    static const detail_table table = [] {
        detail_table t{};
        for (uint32_t r = 0; r < detail_rows; ++r)
            for (uint32_t c = 0; c < detail_columns; ++c)
                t[r][c] = int8_t(std::lround(detail_amplitude * std::sin(2 * std::numbers::pi * c / detail_columns) *
                                             std::sin(2 * std::numbers::pi * r / detail_rows)));
        return t;
    }();
    return table;
}

uint8_t with_detail(uint8_t luma, int8_t offset)
{
    return uint8_t(std::clamp(int(luma) + offset, 16, 235));
}

row_kind kind_of_row(uint32_t input_row)
{
    return input_row >= band_first && input_row < band_end ? row_kind::counter : row_kind::bars;
}

// The colour at column x (input pixels) of a row of picture number.
class pattern {
public:
    pattern(test_pattern chosen, uint32_t width, uint32_t picture_number)
        : kind(chosen), input_width(width ? width : 1), bar_width(width >= 8 ? width / 8 : 1),
          shift(uint64_t(picture_number) * scroll_step % (8 * bar_width)), number(picture_number)
    {
    }

    // detail_row: the input line's place in the detail grid.
    yuv at(row_kind row, uint32_t x, uint32_t detail_row) const
    {
        if (kind == test_pattern::bars)
            return bars_75[uint64_t(x) * 8 / input_width];
        if (row == row_kind::counter) {
            const uint32_t bit = 31 - uint32_t(uint64_t(x) * 32 / input_width);
            return (number >> bit) & 1 ? white : black;
        }
        const uint64_t period = 8 * bar_width;
        const uint64_t position = (x + period - shift) % period;
        yuv c = bars_100[position / bar_width];
        c.y = with_detail(c.y, detail()[detail_row][position % detail_columns]);
        return c;
    }

private:
    const test_pattern kind;
    const uint32_t input_width;
    const uint32_t bar_width;
    const uint64_t shift;
    const uint32_t number;
};

// One line of a row kind. For 4:2:0 the chroma half carries U (even lines)
// or V (odd lines).
std::vector<uint8_t> make_line(const picture_geometry& g, const pattern& p, row_kind kind, bool odd,
                               uint32_t detail_row)
{
    std::vector<uint8_t> line(g.stride, 0);
    const uint32_t s = g.scale;
    if (g.layout == pixel_layout::yuv422) {
        for (uint32_t x = 0; x + 1 < g.width; x += 2) {
            const yuv left = p.at(kind, x * s, detail_row);
            const yuv right = p.at(kind, (x + 1) * s, detail_row);
            uint8_t* q = &line[2 * x];
            q[0] = left.u;
            q[1] = left.y;
            q[2] = left.v;
            q[3] = right.y;
        }
        return line;
    }
    for (uint32_t x = 0; x < g.width; ++x)
        line[x] = p.at(kind, x * s, detail_row).y;
    const uint32_t chroma = chroma_offset(g.stride);
    for (uint32_t j = 0; j < g.width / 2 && chroma + j < g.stride; ++j) {
        const yuv c = p.at(kind, 2 * j * s, detail_row);
        line[chroma + j] = odd ? c.v : c.u;
    }
    return line;
}

void put16(uint8_t* p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

void put32(uint8_t* p, uint32_t v)
{
    put16(p, uint16_t(v));
    put16(p + 2, uint16_t(v >> 16));
}

uint8_t check_byte(const uint8_t* p)
{
    uint8_t sum = 0x5A;
    for (size_t i = 0; i + 1 < picture_stamp::size; ++i)
        sum ^= p[i];
    return sum;
}

}   // namespace

std::optional<pixel_layout> layout_of_format_code(uint8_t code)
{
    switch (code) {
    case 1: return pixel_layout::yuv422;
    case 4: return pixel_layout::yuv420;
    default: return std::nullopt;
    }
}

uint32_t line_pitch(pixel_layout layout, uint32_t width)
{
    return layout == pixel_layout::yuv422 ? 2 * width : width + width / 2;
}

uint32_t chroma_offset(uint32_t stride)
{
    return stride - stride / 3;
}

std::optional<test_pattern> parse_test_pattern(const std::string& name)
{
    if (name == "moving")
        return test_pattern::moving;
    if (name == "bars")
        return test_pattern::bars;
    return std::nullopt;
}

bar_colour bar_of(test_pattern kind, unsigned i)
{
    const unsigned bar = i % 8;
    const yuv c = kind == test_pattern::bars ? bars_75[bar] : bars_100[bar];
    return {c.y, c.u, c.v};
}

uint32_t bar_start(unsigned i, uint32_t width)
{
    // The first column x with x * 8 / width >= i.
    return uint32_t((uint64_t(i) * width + 7) / 8);
}

picture_geometry full_geometry(const video_signal& input, pixel_layout layout)
{
    picture_geometry g;
    g.layout = layout;
    g.width = input.width;
    g.height = input.height;
    g.stride = line_pitch(layout, input.width);
    return g;
}

std::optional<picture_geometry> preview_geometry(const video_signal& input, pixel_layout layout, uint8_t mode)
{
    if (mode > 1)
        return std::nullopt;
    uint32_t factor = 0;
    if (layout == pixel_layout::yuv420)
        factor = mode == 0 ? 4 : 6;
    else if (mode == 1)
        factor = 3;
    else
        factor = input.width <= 720 ? 1 : 2;
    const picture_geometry full = full_geometry(input, layout);
    picture_geometry g = full;
    g.width = full.width / factor;
    g.height = full.height / factor;
    g.stride = full.stride / factor;   // as the program divides the pitch
    g.scale = factor;
    return g;
}

void picture_stamp::write(uint8_t* picture) const
{
    memcpy(picture, magic, 4);
    put32(picture + 4, number);
    put16(picture + 8, width);
    put16(picture + 10, height);
    picture[12] = format;
    picture[13] = field;
    picture[14] = scale;
    picture[15] = check_byte(picture);
}

std::optional<picture_stamp> picture_stamp::read(const uint8_t* p)
{
    if (memcmp(p, magic, 4) != 0 || p[15] != check_byte(p))
        return std::nullopt;
    picture_stamp s;
    s.number = uint32_t(p[4]) | uint32_t(p[5]) << 8 | uint32_t(p[6]) << 16 | uint32_t(p[7]) << 24;
    s.width = uint16_t(p[8] | p[9] << 8);
    s.height = uint16_t(p[10] | p[11] << 8);
    s.format = p[12];
    s.field = p[13];
    s.scale = p[14];
    return s;
}

void render_picture(uint8_t* out, const picture_geometry& g, uint32_t number, uint8_t field, test_pattern chosen)
{
    const pattern p(chosen, g.width * g.scale, number);
    // Rows of a kind differ only in their place in the detail grid (and, for
    // 4:2:0, whether they carry U or V), so each such line is made once and
    // copied.
    std::vector<uint8_t> bar_lines[detail_rows][2];
    for (uint32_t r = 0; r < detail_rows; ++r)
        for (int odd = 0; odd < 2; ++odd)
            bar_lines[r][odd] = make_line(g, p, row_kind::bars, odd, r);
    const std::vector<uint8_t> counter_lines[2] = {make_line(g, p, row_kind::counter, false, 0),
                                                   make_line(g, p, row_kind::counter, true, 0)};
    for (uint32_t y = 0; y < g.height; ++y) {
        // 4:2:0 chroma is shared by a line pair: the pair's first line
        // decides the kind, so both lines of the pair agree (the detail is
        // in the luma alone).
        const uint32_t row = g.layout == pixel_layout::yuv420 ? (y & ~1u) : y;
        const int odd = g.layout == pixel_layout::yuv420 ? int(y & 1) : 0;
        uint8_t* line = out + size_t(y) * g.stride;
        if (kind_of_row(row * g.scale) == row_kind::counter) {
            memcpy(line, counter_lines[odd].data(), g.stride);
            continue;
        }
        const uint32_t detail_row = uint32_t(uint64_t(y) * g.scale % detail_rows);
        memcpy(line, bar_lines[detail_row][odd].data(), g.stride);
    }
    if (chosen != test_pattern::moving || g.height == 0 || g.stride < picture_stamp::size)
        return;
    picture_stamp stamp;
    stamp.number = number;
    stamp.width = uint16_t(g.width);
    stamp.height = uint16_t(g.height);
    stamp.format = g.layout == pixel_layout::yuv420 ? 1 : 0;
    stamp.field = field;
    stamp.scale = uint8_t(g.scale);
    stamp.write(out);
}

std::optional<uint32_t> read_picture_number(const uint8_t* luma, size_t luma_stride, uint32_t plane_width,
                                            uint32_t plane_height, const picture_geometry& source)
{
    // The middle half of the band (input lines 24 to 40) and of each block.
    const uint32_t s = source.scale ? source.scale : 1;
    const uint32_t first_line = (24 + s - 1) / s, last_line = 40 / s;
    const uint32_t block = source.width / 32;
    if (block == 0 || source.width > plane_width || last_line >= plane_height || first_line > last_line)
        return std::nullopt;
    constexpr unsigned threshold = (white.y + black.y) / 2, margin = 50;
    uint32_t number = 0;
    for (unsigned bit = 0; bit < 32; ++bit) {
        const uint32_t left = uint32_t(uint64_t(bit) * source.width / 32) + block / 4;
        const uint32_t right = uint32_t(uint64_t(bit + 1) * source.width / 32) - block / 4;
        uint64_t sum = 0, count = 0;
        for (uint32_t y = first_line; y <= last_line; ++y)
            for (uint32_t x = left; x < right; ++x, ++count)
                sum += luma[y * luma_stride + x];
        const uint64_t mean = count ? sum / count : 0;
        if (mean + margin > threshold && mean < threshold + margin)
            return std::nullopt;
        number = number << 1 | (mean > threshold ? 1 : 0);
    }
    return number;
}

void picture_timeline::change(const video_signal& input, duration now)
{
    if (signal.present && period().count() > 0 && now >= origin)
        first_number += uint64_t((now - origin) / period()) + 1;
    signal = input;
    origin = now;
}

std::optional<picture_timeline::duration> picture_timeline::next_start(duration armed,
                                                                       std::optional<duration> after) const
{
    if (!signal.present || period().count() <= 0)
        return std::nullopt;
    const duration first_after =
        armed < origin ? origin + period() : origin + ((armed - origin) / period() + 1) * period();
    if (after && *after >= origin)
        return std::max(first_after, *after);
    return first_after;
}

uint32_t picture_timeline::number_at(duration start) const
{
    const int64_t p = period().count();
    if (p <= 0 || start < origin)
        return uint32_t(first_number);
    return uint32_t(first_number + uint64_t(((start - origin).count() + p / 2) / p));
}

}   // namespace vfpga
