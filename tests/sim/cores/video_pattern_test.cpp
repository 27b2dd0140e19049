// The picture the virtual video cores write: geometry, stamp, bars and the
// timeline of picture numbers.
#include "sim/cores/video_pattern.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

using namespace vfpga;

namespace {

video_signal named_signal(const std::string& name)
{
    return *video_signal::parse(name);
}

std::vector<uint8_t> rendered(const picture_geometry& g, uint32_t number, uint8_t field = 2)
{
    std::vector<uint8_t> out(g.bytes());
    render_picture(out.data(), g, number, field);
    return out;
}

// Luma of pixel x on line y.
uint8_t luma(const std::vector<uint8_t>& picture, const picture_geometry& g, uint32_t x, uint32_t y)
{
    const uint8_t* line = &picture[size_t(y) * g.stride];
    return g.layout == pixel_layout::yuv422 ? line[2 * x + 1] : line[x];
}

}   // namespace

TEST(video_pattern, geometry_follows_format_code_preview_mode_and_width)
{
    EXPECT_EQ(layout_of_format_code(1), pixel_layout::yuv422);
    EXPECT_EQ(layout_of_format_code(4), pixel_layout::yuv420);
    EXPECT_FALSE(layout_of_format_code(0));
    EXPECT_EQ(full_geometry(named_signal("1080p60"), pixel_layout::yuv420).stride, 2880u);

    auto scale = [](const char* input, pixel_layout layout, uint8_t mode, uint32_t width = 0) {
        video_signal s = named_signal(input);
        if (width)
            s.width = width;
        const auto g = preview_geometry(s, layout, mode);
        return g ? g->scale : 0;
    };
    EXPECT_EQ(scale("1080p60", pixel_layout::yuv422, 1), 3u);
    EXPECT_EQ(scale("720p50", pixel_layout::yuv422, 0), 2u);
    EXPECT_EQ(scale("720p50", pixel_layout::yuv422, 0, 720), 1u);
    EXPECT_EQ(scale("1080p60", pixel_layout::yuv420, 0), 4u);
    EXPECT_EQ(scale("1080p60", pixel_layout::yuv420, 1), 6u);
    EXPECT_EQ(scale("1080p60", pixel_layout::yuv422, 2), 0u);   // no such mode
    const auto g = *preview_geometry(named_signal("1080p60"), pixel_layout::yuv420, 1);
    EXPECT_EQ(g.width, 320u);
    EXPECT_EQ(g.stride, 480u);   // the full stride divided, as the program computes it
}

TEST(video_pattern, stamp_carries_the_picture_and_rejects_damage)
{
    const picture_geometry g = full_geometry(named_signal("1080i59.94"), pixel_layout::yuv422);
    std::vector<uint8_t> picture = rendered(g, 0x01020304, 1);
    const auto stamp = picture_stamp::read(picture.data());
    ASSERT_TRUE(stamp);
    EXPECT_EQ(stamp->number, 0x01020304u);
    EXPECT_EQ(stamp->height, 540);
    EXPECT_EQ(stamp->field, 1);
    picture[5] ^= 1;
    EXPECT_FALSE(picture_stamp::read(picture.data()));
}

TEST(video_pattern, bars_move_with_the_picture_number_in_every_layout_and_scale)
{
    const video_signal input = named_signal("1080p60");
    const picture_geometry packed = full_geometry(input, pixel_layout::yuv422);
    const picture_geometry planar = full_geometry(input, pixel_layout::yuv420);
    const picture_geometry small = *preview_geometry(input, pixel_layout::yuv422, 1);
    const auto a = rendered(packed, 10), b = rendered(packed, 11);
    const auto a420 = rendered(planar, 10), small_a = rendered(small, 10);
    const uint32_t y = 501;   // a line of bars with detail (a preview line of mode 1 too)
    for (uint32_t x = 16; x < 1920; x += 37) {
        EXPECT_EQ(luma(b, packed, x, y), luma(a, packed, x - scroll_step, y)) << x;
        EXPECT_EQ(luma(a420, planar, x, y), luma(a, packed, x, y)) << x;
    }
    for (uint32_t x = 0; x < small.width; x += 13)
        EXPECT_EQ(luma(small_a, small, x, y / 3), luma(a, packed, 3 * x, y)) << x;
    EXPECT_NE(luma(a, packed, 100, y), luma(a, packed, 400, y));   // the bars differ across the line

    // The detail: soft dots inside a bar on most lines, none on every ninth.
    const uint32_t plain = 504;
    int lowest = 255, highest = 0;
    for (uint32_t x = 400; x < 440; ++x) {
        lowest = std::min<int>(lowest, luma(a, packed, x, y));
        highest = std::max<int>(highest, luma(a, packed, x, y));
        EXPECT_EQ(luma(a, packed, x, plain), luma(a, packed, 400, plain)) << x;
    }
    EXPECT_GT(highest - lowest, 40);

    // 4:2:0: line 2k carries U, line 2k + 1 V after the luma (blue: U 240, V 110).
    uint32_t blue_x = 0;
    while (luma(a420, planar, blue_x, plain) != 41)
        ++blue_x;
    blue_x += 2;   // clear of the bar's edge
    EXPECT_EQ(a420[size_t(plain) * planar.stride + 1920 + blue_x / 2], 240);
    EXPECT_EQ(a420[size_t(plain + 1) * planar.stride + 1920 + blue_x / 2], 110);
}

TEST(video_pattern, timeline_numbers_grow_across_signal_changes)
{
    using std::chrono::nanoseconds;
    picture_timeline t(named_signal("1080p60"));
    const nanoseconds p = t.period();
    const auto none = std::nullopt;
    EXPECT_EQ(t.next_start(nanoseconds(0), none), p);   // the picture under way is missed
    EXPECT_EQ(t.next_start(p, none), 2 * p);
    EXPECT_EQ(t.next_start(p + nanoseconds(1), none), 2 * p);
    EXPECT_EQ(t.next_start(p, 3 * p), 3 * p);       // back to back behind the unit in progress
    EXPECT_EQ(t.next_start(4 * p, 3 * p), 5 * p);   // that unit was over at the arm
    EXPECT_EQ(t.number_at(7 * p), 7u);

    const nanoseconds changed = 7 * p + p / 2;
    t.change(named_signal("none"), changed);
    EXPECT_FALSE(t.next_start(changed, none));
    t.change(named_signal("720p50"), changed + p);
    const nanoseconds q = t.period();
    const auto first = t.next_start(changed + p, 3 * p);   // a unit of the old signal does not pace
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, changed + p + q);
    EXPECT_GT(t.number_at(*first), 7u);
}
