// The capture handshake's worker: a core whose interrupt stands for
// another core's data too completes a unit only once that core has
// completed the same one, however far behind its worker is.
#include "sim/fpga/capture_core.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "hw/registers.h"
#include "sim/fpga/fpga.h"
#include "tests/support/debug_capture.h"

using namespace vfpga;
using namespace std::chrono_literals;

namespace {

// A core whose units last 1 ms from their arm, and whose data transfer can
// be held back by the test.
class held_core : public capture_core {
public:
    held_core(fpga& on_board, const char* name, uint32_t block, held_core* waits_for)
        : capture_core(on_board, name, block, 4, -1, regs::video_buffer), other(waits_for)
    {
        watch(waits_for);
    }

    std::atomic<bool> hold{false};
    std::atomic<bool> written{false};

protected:
    std::optional<duration> unit_start(duration now, std::optional<duration> after) override
    {
        return after ? *after : now;
    }
    duration unit_length() override { return 1ms; }
    transfer fill(const job&, duration) override
    {
        return [this] {
            while (hold)
                std::this_thread::sleep_for(1ms);
            written = true;
        };
    }
    bool may_complete(duration end) override { return done_by(other, end); }

private:
    const held_core* other;
};

}  // namespace

TEST(capture_core, holds_its_events_until_the_core_it_stands_for_has_written_the_same_unit)
{
    board_config config;
    config.input_cores = false;
    config.clock = "stepped";
    config.reserved_size = 1u << 20;
    config.video_size = 1u << 20;
    fpga board(config, "");
    auto follower_model = std::make_unique<held_core>(board, "follower", 0x310, nullptr);
    held_core& follower = *follower_model;
    auto lead_model = std::make_unique<held_core>(board, "lead", 0x300, &follower);
    held_core& lead = *lead_model;
    board.add_model(std::move(follower_model));
    board.add_model(std::move(lead_model));
    follower.start();
    lead.start();

    follower.hold = true;
    for (uint32_t block : {0x310u, 0x300u}) {
        board.write32((block + regs::video_buffer) * 4, 0x1000);
        board.write8((block + regs::control) * 4 + regs::lane_command, regs::command_arm);
    }
    board.step(2ms);
    ASSERT_TRUE(eventually([&] { return lead.written.load(); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(lead.completed(), 0u);   // its data is out, but the follower's is not
    follower.hold = false;
    ASSERT_TRUE(eventually([&] { return lead.completed() == 1; }));
    EXPECT_EQ(follower.completed(), 1u);
    EXPECT_TRUE(board.guest_errors().empty());
}
