// The test signals: the "bars" pattern as the input cores write it, the
// counter reader, and the 4:2:0 chroma position.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "hw/hardware.h"
#include "hw/registers.h"
#include "sim/cores/preview_input_core.h"
#include "sim/cores/video_input_core.h"
#include "sim/cores/video_pattern.h"
#include "tests/support/debug_capture.h"
#include "tests/support/test_board.h"

using namespace vfpga;

namespace {

picture_geometry geometry(pixel_layout layout, uint32_t width, uint32_t height, uint32_t scale = 1)
{
    return {layout, width, height, line_pitch(layout, width), scale};
}

std::vector<uint8_t> rendered(const picture_geometry& g, uint32_t number, test_pattern pattern)
{
    std::vector<uint8_t> out(g.bytes());
    render_picture(out.data(), g, number, 2, pattern);
    return out;
}

// Y', Cb, Cr of pixel x (even) of a 4:2:2 line.
bar_colour pixel_422(const uint8_t* line, uint32_t x)
{
    return {line[2 * x + 1], line[2 * x], line[2 * x + 2]};
}

}   // namespace

TEST(video_pattern, bars_reach_both_input_cores_at_their_size)
{
    board_config c = test_board::small_config();
    c.settings["pattern"] = "bars";
    c.settings["signal"] = "1080p60";
    test_board board(c);
    hardware hw;
    const uint32_t full = c.video_address, preview = c.video_address + 8 * (1u << 20);
    hw.write_reg8(regs::video_in_block, regs::control, regs::lane_mode, 1);     // 4:2:2
    hw.write_reg8(regs::preview_in_block, regs::control, regs::lane_mode, 1);   // divided by 3
    hw.write_reg32(regs::preview_in_block, regs::video_buffer, preview);
    hw.write_reg8(regs::preview_in_block, regs::control, regs::lane_command, regs::command_arm);
    hw.write_reg32(regs::video_in_block, regs::video_buffer, full);
    hw.write_reg8(regs::video_in_block, regs::control, regs::lane_command, regs::command_arm);
    auto* video = board.fpga().model<video_input_core>();
    auto* scaled = board.fpga().model<preview_input_core>();
    ASSERT_TRUE(eventually([&] { return video->completed() > 0 && scaled->completed() > 0; }));

    std::lock_guard<std::mutex> lock(board.fpga().mutex());
    const uint8_t* picture = board.physical(full, 1920 * 2 * 1080);
    const uint8_t* small = board.physical(preview, 640 * 2 * 360);
    EXPECT_FALSE(picture_stamp::read(picture));   // a clean signal: no stamp
    for (unsigned bar = 0; bar < 8; ++bar) {
        const bar_colour expected = bar_of(test_pattern::bars, bar);
        for (const auto& [bytes, width, line] :
             {std::tuple{picture, 1920u, 0u}, std::tuple{picture, 1920u, 1079u}, std::tuple{small, 640u, 200u}}) {
            const uint32_t x = (bar_start(bar, width) + bar_start(bar + 1, width)) / 2 & ~1u;
            const bar_colour got = pixel_422(bytes + size_t(line) * 2 * width, x);
            EXPECT_EQ(got.y, expected.y) << "bar " << bar << " width " << width;
            EXPECT_EQ(got.cb, expected.cb) << "bar " << bar << " width " << width;
            EXPECT_EQ(got.cr, expected.cr) << "bar " << bar << " width " << width;
        }
    }
    EXPECT_EQ(bar_start(1, 1920), 240u);
    EXPECT_EQ(bar_start(8, 640), 640u);
}

TEST(video_pattern, an_unknown_pattern_stops_the_board)
{
    board_config c = test_board::small_config();
    c.settings["pattern"] = "zebra";
    EXPECT_THROW(fpga(c, ""), std::runtime_error);
}

TEST(video_pattern, the_counter_band_reads_back_at_every_scale)
{
    for (const picture_geometry& g :
         {geometry(pixel_layout::yuv422, 1920, 1080), geometry(pixel_layout::yuv422, 640, 360, 3),
          geometry(pixel_layout::yuv420, 480, 270, 4), geometry(pixel_layout::yuv420, 320, 180, 6)}) {
        for (uint32_t number : {0u, 1u, 0x80000001u, 123456789u}) {
            const std::vector<uint8_t> picture = rendered(g, number, test_pattern::moving);
            // The luma as a plane; blurred and offset a little, as coding leaves it.
            std::vector<uint8_t> luma(size_t(g.width) * g.height);
            for (uint32_t y = 0; y < g.height; ++y)
                for (uint32_t x = 0; x < g.width; ++x) {
                    const uint8_t* line = &picture[size_t(y) * g.stride];
                    const int v = g.layout == pixel_layout::yuv422 ? line[2 * x + 1] : line[x];
                    luma[size_t(y) * g.width + x] = uint8_t(std::clamp(v + int((x * 7 + y * 3) % 21) - 10, 0, 255));
                }
            EXPECT_EQ(read_picture_number(luma.data(), g.width, g.width, g.height, g), number) << g.width;
            EXPECT_FALSE(read_picture_number(luma.data(), g.width, g.width - 16, g.height, g));   // band cut off
        }
    }
    const picture_geometry g = geometry(pixel_layout::yuv422, 640, 360);
    std::vector<uint8_t> grey(640 * 360, 128);
    EXPECT_FALSE(read_picture_number(grey.data(), 640, 640, 360, g));
}

TEST(video_pattern, chroma_of_a_4_2_0_line_starts_two_thirds_into_its_pitch)
{
    EXPECT_EQ(chroma_offset(line_pitch(pixel_layout::yuv420, 1920)), 1920u);
    EXPECT_EQ(chroma_offset(line_pitch(pixel_layout::yuv420, 480)), 480u);
    // A 720p preview divided by 6: 213 pixels in a pitch of 320 (the full
    // pitch divided): luma, one spare byte, then 106 chroma bytes.
    picture_geometry g = geometry(pixel_layout::yuv420, 213, 120, 6);
    g.stride = 1920 / 6;
    const std::vector<uint8_t> picture = rendered(g, 0, test_pattern::bars);
    EXPECT_EQ(chroma_offset(g.stride), 214u);
    EXPECT_EQ(picture[213], 0);
    EXPECT_EQ(picture[214], bar_of(test_pattern::bars, 0).cb);
    EXPECT_EQ(picture[g.stride + 214], bar_of(test_pattern::bars, 0).cr);
    EXPECT_EQ(picture[319], bar_of(test_pattern::bars, 7).cb);
}
