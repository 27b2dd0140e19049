// The virtual video input cores as the bus drives them.
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
#include "tests/support/test_board.h"
#include "tests/video/video_test_support.h"

using namespace vfpga;

namespace {

constexpr uint32_t MiB = 1u << 20;

}  // namespace

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

    const std::vector<std::string> errors = board.take_guest_errors();
    const char* expected[] = {"vid_in: armed before a buffer address",
                              "vid_in: armed with unknown format code 3",
                              "pvw_in: armed with unknown preview mode 2",
                              "vid_in: write to unused register 5",
                              "vid_in: buffer 0x"};
    ASSERT_EQ(errors.size(), std::size(expected)) << testing::PrintToString(errors);
    for (size_t i = 0; i < errors.size(); ++i)
        EXPECT_EQ(errors[i].rfind(expected[i], 0), 0u) << errors[i];
}
