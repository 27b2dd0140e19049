// The virtual audio input core, driven through the program's register
// access on a stepped clock.
#include "sim/cores/audio_core.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>

#include "hw/hardware.h"
#include "hw/registers.h"
#include "tests/audio/audio_test_support.h"
#include "tests/support/test_board.h"

using namespace std::chrono_literals;

namespace {

constexpr uint32_t block_samples = 768;
constexpr uint32_t block_bytes = block_samples * 2 * 4;

vfpga::board_config stepped(uint32_t platform)
{
    auto config = test_board::small_config();
    config.clock = "stepped";
    config.platform = platform;
    return config;
}

class audio_bus {
public:
    explicit audio_bus(hardware& board_hw) : hw(board_hw)
    {
        hw.write_reg8(regs::audio_in_block, regs::control, regs::lane_enable, regs::events_enable);
    }

    void arm(uint32_t offset, uint32_t samples = block_samples) { arm_bus(hw.bus_address(offset), samples); }
    // As the program arms: the state read, and read once more while busy.
    void arm_bus(uint32_t bus, uint32_t samples)
    {
        if ((hw.read_reg32(regs::audio_in_block, regs::control) & regs::state_mask) == regs::state_busy)
            hw.read_reg32(regs::audio_in_block, regs::control);
        hw.write_reg32(regs::audio_in_block, regs::audio_buffer, bus);
        hw.write_reg32(regs::audio_in_block, regs::audio_samples, samples);
        hw.write_reg8(regs::audio_in_block, regs::control, regs::lane_command, regs::command_arm);
    }

    // One block's interrupt, acknowledged and re-armed.
    bool block_done()
    {
        timeval limit{10, 0};
        const bool arrived = hw.wait_irq(regs::irq_audio_in, &limit) >= 0;
        hw.write_reg8(regs::audio_in_block, regs::control, regs::lane_events, regs::events_clear);
        hw.enable_irq(regs::irq_audio_in);
        return arrived;
    }

    std::optional<int64_t> position(uint32_t offset)
    {
        return tone_position(reinterpret_cast<const int32_t*>(hw.cpu_address(offset)), block_samples);
    }

private:
    hardware& hw;
};

bool has_error(test_board& board, const std::string& part)
{
    const auto errors = board.take_guest_errors();
    return std::any_of(errors.begin(), errors.end(), [&](const std::string& e) { return e.find(part) != e.npos; });
}

}   // namespace

class audio_core_platform : public testing::TestWithParam<uint32_t> {};

// The tone follows the board clock: a buffer queued behind the block in
// progress continues it sample for sample, a block armed after a pause starts
// where the clock has got to. On the Altera platform the core is given bus
// addresses with bit 31 set and must still land in the same memory.
TEST_P(audio_core_platform, queued_blocks_continue_the_tone_and_a_pause_shows)
{
    test_board board(stepped(GetParam()));
    hardware hw;
    hw.translate_addresses = true;
    const uint32_t base = hw.get_region(audio_region).address;
    const uint32_t a = base, c = base + 2 * block_bytes, d = base + 3 * block_bytes;
    audio_bus bus(hw);

    bus.arm(a);
    bus.arm(c);   // written while a is being filled: applies to the next block
    board.fpga().step(16ms);
    ASSERT_TRUE(bus.block_done());
    EXPECT_EQ(bus.position(a), 0);
    EXPECT_EQ(bus.position(base + block_bytes), std::nullopt) << "nothing written between the buffers";
    board.fpga().step(16ms);
    ASSERT_TRUE(bus.block_done());
    EXPECT_EQ(bus.position(c), block_samples % tone_cycle);

    // 10.5 ms of silence, then a fresh block: 504 samples later than a
    // seamless one would be (half a 1 kHz period).
    board.fpga().step(10500us);
    bus.arm(d);
    board.fpga().step(16ms);
    ASSERT_TRUE(bus.block_done());
    EXPECT_EQ(bus.position(d), (2 * block_samples + 504) % tone_cycle);

    EXPECT_TRUE(board.fpga().guest_errors().empty());
}

INSTANTIATE_TEST_SUITE_P(platforms, audio_core_platform, testing::Values(0x80010500u, 0x01000000u));

TEST(audio_core, reports_an_empty_block_and_a_buffer_outside_memory)
{
    test_board board(stepped(0x80010500u));
    hardware hw;
    const uint32_t base = hw.get_region(audio_region).address;
    audio_bus bus(hw);

    bus.arm(base, 0);
    EXPECT_TRUE(has_error(board, "sample count of 0"));
    ASSERT_TRUE(bus.block_done());
    EXPECT_EQ(*reinterpret_cast<const uint32_t*>(hw.cpu_address(base)), 0xDEADDEADu) << "nothing written";

    bus.arm_bus(0xFFFFF000u, block_samples);
    board.fpga().step(16ms);
    ASSERT_TRUE(bus.block_done());
    EXPECT_TRUE(has_error(board, "outside memory"));
}
