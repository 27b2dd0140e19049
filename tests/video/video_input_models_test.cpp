// The virtual video input cores: the picture they write and how the bus
// drives them.
#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hw/hardware.h"
#include "hw/registers.h"
#include "sim/cores/preview_input_core.h"
#include "sim/cores/video_input_core.h"
#include "sim/cores/video_pattern.h"
#include "tests/support/test_board.h"
#include "tests/video/video_test_support.h"

using namespace vfpga;

namespace {

constexpr uint32_t MiB = 1u << 20;

video_signal signal(const std::string& name)
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

}  // namespace

TEST(video_pattern, geometry_follows_format_code_preview_mode_and_width)
{
    EXPECT_EQ(layout_of_format_code(1), pixel_layout::yuv422);
    EXPECT_EQ(layout_of_format_code(4), pixel_layout::yuv420);
    EXPECT_FALSE(layout_of_format_code(0));
    EXPECT_EQ(full_geometry(signal("1080p60"), pixel_layout::yuv420).stride, 2880u);

    auto scale = [](const char* input, pixel_layout layout, uint8_t mode, uint32_t width = 0) {
        video_signal s = signal(input);
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
    const auto g = *preview_geometry(signal("1080p60"), pixel_layout::yuv420, 1);
    EXPECT_EQ(g.width, 320u);
    EXPECT_EQ(g.stride, 480u);   // the full stride divided, as the program computes it
}

TEST(video_pattern, stamp_carries_the_picture_and_rejects_damage)
{
    const picture_geometry g = full_geometry(signal("1080i59.94"), pixel_layout::yuv422);
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
    const video_signal input = signal("1080p60");
    const picture_geometry packed = full_geometry(input, pixel_layout::yuv422);
    const picture_geometry planar = full_geometry(input, pixel_layout::yuv420);
    const picture_geometry small = *preview_geometry(input, pixel_layout::yuv422, 1);
    const auto a = rendered(packed, 10), b = rendered(packed, 11);
    const auto a420 = rendered(planar, 10), small_a = rendered(small, 10);
    const uint32_t y = 500;   // a line of bars
    for (uint32_t x = 16; x < 1920; x += 37) {
        EXPECT_EQ(luma(b, packed, x, y), luma(a, packed, x - scroll_step, y)) << x;
        EXPECT_EQ(luma(a420, planar, x, y), luma(a, packed, x, y)) << x;
    }
    for (uint32_t x = 0; x < small.width; x += 13)
        EXPECT_EQ(luma(small_a, small, x, y / 3), luma(a, packed, 3 * x, y)) << x;
    EXPECT_NE(luma(a, packed, 100, y), luma(a, packed, 400, y));   // the bars differ across the line

    // 4:2:0: line 2k carries U, line 2k + 1 V after the luma (blue: U 240, V 110).
    uint32_t blue_x = 0;
    while (luma(a420, planar, blue_x, y) != 41)
        ++blue_x;
    blue_x += 2;   // clear of the bar's edge
    EXPECT_EQ(a420[size_t(y) * planar.stride + 1920 + blue_x / 2], 240);
    EXPECT_EQ(a420[size_t(y + 1) * planar.stride + 1920 + blue_x / 2], 110);
}

TEST(video_pattern, timeline_numbers_grow_across_signal_changes)
{
    using std::chrono::nanoseconds;
    picture_timeline t(signal("1080p60"));
    const nanoseconds p = t.period();
    const auto none = std::nullopt;
    EXPECT_EQ(t.next_start(nanoseconds(0), none, nanoseconds(0)), p);   // the picture under way is missed
    EXPECT_EQ(t.next_start(p, none, p), 2 * p);
    EXPECT_EQ(t.next_start(p + nanoseconds(1), none, 3 * p), 2 * p);   // timed from the arm
    EXPECT_EQ(t.next_start(p, 3 * p, 3 * p), 3 * p);                   // back to back
    EXPECT_EQ(t.next_start(p, 3 * p, 4 * p - nanoseconds(1)), 3 * p);
    EXPECT_EQ(t.next_start(p, 3 * p, 4 * p), 5 * p);   // that picture is over: no burst to catch up
    EXPECT_EQ(t.number_at(7 * p), 7u);

    const nanoseconds changed = 7 * p + p / 2;
    t.change(signal("none"), changed);
    EXPECT_FALSE(t.next_start(changed, none, changed));
    t.change(signal("720p50"), changed + p);
    const nanoseconds q = t.period();
    const auto first = t.next_start(changed + p, 3 * p, changed + p);   // a unit of the old signal does not pace
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, changed + p + q);
    EXPECT_GT(t.number_at(*first), 7u);
}

// The cores on a board with a stepped clock.
class video_core_test : public testing::Test {
protected:
    video_core_test() : board(config()), video(board.fpga().model<video_input_core>()) {}

    static board_config config()
    {
        board_config c = test_board::small_config();
        c.clock = "stepped";
        return c;
    }

    void arm(uint32_t block, uint32_t address)
    {
        hw.write_reg32(block, regs::video_buffer, address);
        hw.write_reg8(block, regs::control, regs::lane_command, regs::command_arm);
    }

    // Steps the clock to the end of the picture vid_in is capturing.
    void finish_picture()
    {
        ASSERT_TRUE(eventually([&] { return video->capture_end().has_value(); }));
        const uint64_t done = units_completed(board.fpga(), *video);
        board.fpga().step(*video->capture_end() - board.fpga().clock().now());
        ASSERT_TRUE(eventually([&] { return units_completed(board.fpga(), *video) == done + 1; }));
    }

    std::optional<picture_stamp> stamp_at(uint32_t address) { return ::stamp_at(board.fpga(), address); }

    test_board board;
    hardware hw;
    video_input_core* video;
    const uint32_t base = test_board::small_config().video_address;
};

TEST_F(video_core_test, an_address_written_while_capturing_applies_to_the_next_picture)
{
    hw.write_reg8(regs::video_in_block, regs::control, regs::lane_mode, 1);
    hw.write_reg8(regs::video_in_block, regs::control, regs::lane_enable, regs::events_enable);
    arm(regs::video_in_block, base);
    arm(regs::video_in_block, base + 4 * MiB);   // queued behind the first
    hw.write_reg32(regs::video_in_block, regs::video_buffer, base + 8 * MiB);   // never armed
    EXPECT_EQ(hw.read_reg32(regs::video_in_block, regs::control) & regs::state_mask, regs::state_busy);
    finish_picture();
    EXPECT_EQ(hw.read_reg8(regs::video_in_block, regs::control, regs::lane_events), regs::events_mask);
    finish_picture();
    EXPECT_EQ(hw.read_reg32(regs::video_in_block, regs::control) & regs::state_mask, regs::state_idle);

    const auto first = stamp_at(base), second = stamp_at(base + 4 * MiB);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(second->number, first->number + 1);
    EXPECT_FALSE(stamp_at(base + 8 * MiB));
    EXPECT_TRUE(board.fpga().guest_errors().empty());
}

TEST_F(video_core_test, preview_scales_the_same_picture_in_the_chosen_layout)
{
    hw.write_reg8(regs::video_in_block, regs::control, regs::lane_mode, 4);     // 4:2:0
    hw.write_reg8(regs::preview_in_block, regs::control, regs::lane_mode, 1);   // divided by 6
    arm(regs::video_in_block, base);
    arm(regs::preview_in_block, base + 4 * MiB);
    auto* preview_core = board.fpga().model<preview_input_core>();
    ASSERT_TRUE(eventually([&] { return preview_core->capture_end().has_value(); }));
    finish_picture();
    ASSERT_TRUE(eventually([&] { return stamp_at(base + 4 * MiB).has_value(); }));
    const auto full = stamp_at(base), preview = stamp_at(base + 4 * MiB);
    ASSERT_TRUE(full);
    EXPECT_EQ(full->format, 1);
    EXPECT_EQ(preview->number, full->number);
    EXPECT_EQ(preview->width, 320);
    EXPECT_EQ(preview->scale, 6);
    EXPECT_EQ(preview->format, 1);
    // The preview never raises an interrupt the program does not enable.
    EXPECT_EQ(board.fpga().irq_count(regs::irq_preview_in), 0u);
}

TEST_F(video_core_test, bad_arms_are_guest_errors)
{
    hw.write_reg8(regs::video_in_block, regs::control, regs::lane_mode, 1);
    hw.write_reg8(regs::video_in_block, regs::control, regs::lane_command, regs::command_arm);
    hw.write_reg8(regs::video_in_block, regs::control, regs::lane_command, 0);
    hw.write_reg8(regs::video_in_block, regs::control, regs::lane_mode, 3);
    arm(regs::video_in_block, base);
    hw.write_reg8(regs::video_in_block, regs::control, regs::lane_command, 0);
    hw.write_reg8(regs::video_in_block, regs::control, regs::lane_mode, 1);
    hw.write_reg8(regs::preview_in_block, regs::control, regs::lane_mode, 2);
    arm(regs::preview_in_block, base);
    hw.write_reg8(regs::preview_in_block, regs::control, regs::lane_command, 0);
    hw.write_reg32(regs::video_in_block, 5, 1);
    const uint32_t beyond = uint32_t(board.fpga().config().memory_size() - MiB);
    arm(regs::video_in_block, beyond);
    finish_picture();

    const std::vector<std::string> errors = board.fpga().guest_errors();
    const char* expected[] = {"vid_in: armed before a buffer address",
                              "vid_in: armed with unknown format code 3",
                              "pvw_in: armed with unknown preview mode 2",
                              "vid_in: write to unused register 5",
                              "vid_in: buffer 0x"};
    ASSERT_EQ(errors.size(), std::size(expected)) << testing::PrintToString(errors);
    for (size_t i = 0; i < errors.size(); ++i)
        EXPECT_EQ(errors[i].rfind(expected[i], 0), 0u) << errors[i];
}
