// The virtual video input cores as the bus drives them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
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

}   // namespace

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

    // As the program arms: the state read, and read once more while busy.
    void arm(uint32_t block, uint32_t address)
    {
        if ((hw.read_reg32(block, regs::control) & regs::state_mask) == regs::state_busy)
            hw.read_reg32(block, regs::control);
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
    arm(regs::video_in_block, base + 4 * MiB);                                  // queued behind the first
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
    const char* expected[] = {"vid_in: armed before a buffer address", "vid_in: armed with unknown format code 3",
                              "pvw_in: armed with unknown preview mode 2", "vid_in: write to unused register 5",
                              "vid_in: buffer 0x"};
    ASSERT_EQ(errors.size(), std::size(expected)) << testing::PrintToString(errors);
    for (size_t i = 0; i < errors.size(); ++i)
        EXPECT_EQ(errors[i].rfind(expected[i], 0), 0u) << errors[i];
}

namespace {

// A video input core whose DMA the test can hold back, as a busy machine
// holds back a model's worker.
template <class core>
class held : public core {
public:
    using core::core;
    std::atomic<bool> hold{false};

protected:
    typename core::transfer fill(const typename core::job& unit, typename core::duration start) override
    {
        typename core::transfer writes = core::fill(unit, start);
        if (!writes)
            return writes;
        return [this, writes] {
            while (hold)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            writes();
        };
    }
};

}   // namespace

// The two input cores, driven as the program drives them, with one core's
// writes held back for about a period on a stepped clock.
class paired_cores_test : public testing::TestWithParam<const char*> {
protected:
    paired_cores_test() : board(config(), "")
    {
        auto full = std::make_unique<held<video_input_core>>(board);
        video = full.get();
        board.add_model(std::move(full));
        auto scaled = std::make_unique<held<preview_input_core>>(board);   // after vid_in, whose pictures it scales
        preview = scaled.get();
        board.add_model(std::move(scaled));
        {
            std::lock_guard<std::mutex> lock(board.mutex());
            board.set_input(*video_signal::parse(GetParam()));
        }
        video->start();
        preview->start();
        write8(regs::video_in_block, regs::lane_mode, 1);   // 4:2:2
        write8(regs::video_in_block, regs::lane_enable, regs::events_enable);
        write8(regs::preview_in_block, regs::lane_mode, 1);
        period = std::chrono::nanoseconds(board.input().period_ns());
    }

    static board_config config()
    {
        board_config c = test_board::small_config();
        c.input_cores = false;   // the test adds the two video cores itself
        c.clock = "stepped";
        return c;
    }

    void write8(uint32_t block, unsigned lane, uint8_t value)
    {
        board.write8((block + regs::control) * 4 + lane, value);
    }
    uint8_t read8(uint32_t block, unsigned lane) { return board.read8((block + regs::control) * 4 + lane); }
    void arm(uint32_t block, uint32_t address)
    {
        board.read32((block + regs::control) * 4);
        board.read32((block + regs::control) * 4);
        board.write32((block + regs::video_buffer) * 4, address);
        write8(block, regs::lane_command, regs::command_arm);
    }
    // Acknowledges vid_in's interrupt and enables the line again.
    void acknowledge()
    {
        write8(regs::video_in_block, regs::lane_events, regs::events_clear);
        board.enable_irq(regs::irq_video_in);
    }
    void step_to(model_clock::duration t) { board.step(t - board.clock().now()); }
    uint32_t number_at(uint32_t address)
    {
        const std::optional<picture_stamp> stamp = stamp_at(board, address);
        return stamp ? stamp->number : ~0u;
    }

    fpga board;
    held<video_input_core>* video;
    held<preview_input_core>* preview;
    model_clock::duration period{};
    const uint32_t base = test_board::small_config().video_address;
};

TEST_P(paired_cores_test, the_full_picture_interrupt_waits_for_its_preview)
{
    arm(regs::video_in_block, base);               // a picture without a preview
    arm(regs::video_in_block, base + 4 * MiB);     // queued: the next picture
    arm(regs::preview_in_block, base + 8 * MiB);   // its preview, on an idle core
    const model_clock::duration first_end = *video->capture_end();
    preview->hold = true;
    step_to(first_end);
    ASSERT_TRUE(eventually([&] { return board.irq_count(regs::irq_video_in) == 1; }));
    acknowledge();
    arm(regs::video_in_block, base + 12 * MiB);

    // The paired picture ends and time runs on for most of another period
    // while pvw_in has not written it: vid_in is done, its line stays low.
    step_to(first_end + period + period * 3 / 4);
    ASSERT_TRUE(eventually([&] { return units_completed(board, *video) == 2; }));
    EXPECT_EQ(board.irq_count(regs::irq_video_in), 1u);
    preview->hold = false;
    ASSERT_TRUE(eventually([&] { return board.irq_count(regs::irq_video_in) == 2; }));
    EXPECT_EQ(units_completed(board, *preview), 1u);

    EXPECT_EQ(number_at(base + 4 * MiB), number_at(base) + 1);
    EXPECT_EQ(number_at(base + 8 * MiB), number_at(base + 4 * MiB));
    EXPECT_TRUE(board.guest_errors().empty());
}

TEST_P(paired_cores_test, a_late_worker_changes_no_picture)
{
    video->hold = true;
    arm(regs::video_in_block, base);
    arm(regs::video_in_block, base + 4 * MiB);
    arm(regs::preview_in_block, base + 8 * MiB);
    // vid_in's worker is held past the end of both its pictures; pvw_in
    // writes the second one on time.
    step_to(*video->capture_end() + period + period / 2);
    ASSERT_TRUE(eventually([&] { return units_completed(board, *preview) == 1; }));
    EXPECT_EQ(units_completed(board, *video), 0u);
    video->hold = false;
    ASSERT_TRUE(eventually([&] { return units_completed(board, *video) == 2; }));

    EXPECT_EQ(number_at(base + 4 * MiB), number_at(base) + 1);
    EXPECT_EQ(number_at(base + 8 * MiB), number_at(base + 4 * MiB));
    EXPECT_TRUE(board.guest_errors().empty());
}

INSTANTIATE_TEST_SUITE_P(signals, paired_cores_test, testing::Values("1080p59.94", "1080i59.94", "720p50"),
                         [](const testing::TestParamInfo<const char*>& param) {
                             std::string name = param.param;
                             name.erase(std::remove(name.begin(), name.end(), '.'), name.end());
                             return name;
                         });

// The field indication names the field that the next arm captures, so
// that two pairs made back to back at a restart get their own fields.
TEST(video_core_fields, the_field_bit_names_the_field_the_next_arm_captures)
{
    board_config config = test_board::small_config();
    config.clock = "stepped";
    config.settings["signal"] = "1080i59.94";
    test_board board(config);
    hardware hw;
    auto first_field_next = [&] {
        return (hw.read_reg8(regs::video_in_block, regs::control, regs::lane_mode) & regs::video_field_bit) != 0;
    };
    const uint32_t base = config.video_address;
    hw.write_reg8(regs::video_in_block, regs::control, regs::lane_mode, 1);
    bool expected_first[2];
    for (uint32_t k = 0; k < 2; ++k) {
        expected_first[k] = first_field_next();
        hw.read_reg32(regs::video_in_block, regs::control);   // the second state read a busy core wants
        hw.write_reg32(regs::video_in_block, regs::video_buffer, base + k * 4 * MiB);
        hw.write_reg8(regs::video_in_block, regs::control, regs::lane_command, regs::command_arm);
    }
    EXPECT_NE(expected_first[0], expected_first[1]);
    auto* video = board.fpga().model<video_input_core>();
    for (uint32_t k = 0; k < 2; ++k) {
        ASSERT_TRUE(eventually([&] { return video->capture_end().has_value(); }));
        const uint64_t done = units_completed(board.fpga(), *video);
        board.fpga().step(*video->capture_end() - board.fpga().clock().now());
        ASSERT_TRUE(eventually([&] { return units_completed(board.fpga(), *video) == done + 1; }));
        const std::optional<picture_stamp> stamp = stamp_at(board.fpga(), base + k * 4 * MiB);
        ASSERT_TRUE(stamp);
        EXPECT_EQ(stamp->field, expected_first[k] ? 0 : 1) << "picture " << k;
    }
}
