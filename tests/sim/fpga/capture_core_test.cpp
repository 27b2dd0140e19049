// The capture handshake's timing: what a unit captures is settled by the
// board's clock at its arm, however far behind the core's worker is.
#include "sim/fpga/capture_core.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "hw/registers.h"
#include "sim/fpga/fpga.h"
#include "tests/support/debug_capture.h"

using namespace vfpga;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t held_block = 0x300;
// Registers 0 and 2 as the video cores have them, no interrupt.
constexpr regs::core_map held_map{"held", -1, held_block, 4, regs::video_fields};

// A core whose units last 1 ms, back to back behind the unit in progress or
// from their arm, and whose data transfer the test can hold back.
class held_core : public capture_core {
public:
    explicit held_core(fpga& on_board) : capture_core(on_board, "held", held_map, regs::video_buffer) {}

    std::atomic<bool> hold{false};
    // The starts the transfers were given, in order (board mutex held).
    std::vector<duration> starts;

protected:
    std::optional<duration> unit_start(const job&, duration now, std::optional<duration> after) override
    {
        return after ? std::max(*after, now) : now;
    }
    duration unit_length() override { return 1ms; }
    transfer fill(const job&, duration start) override
    {
        starts.push_back(start);
        return [this] {
            while (hold)
                std::this_thread::sleep_for(1ms);
        };
    }
};

board_config held_config()
{
    board_config config;
    config.input_cores = false;
    config.clock = "stepped";
    config.reserved_size = 1u << 20;
    config.video_size = 1u << 20;
    return config;
}

held_core& add_held_core(fpga& board)
{
    auto model = std::make_unique<held_core>(board);
    held_core& core = *model;
    board.add_model(std::move(model));
    core.start();
    return core;
}

// A board of the held core alone, on the stepped clock, its worker running.
struct held_board {
    fpga board{held_config(), ""};
    held_core& core = add_held_core(board);
};

}   // namespace

TEST(capture_core, a_unit_is_timed_by_the_board_clock_at_its_arm_not_by_its_worker)
{
    held_board setup;
    fpga& board = setup.board;
    held_core& core = setup.core;
    auto arm = [&] { board.write8((held_block + regs::control) * 4 + regs::lane_command, regs::command_arm); };
    // A busy core takes a further buffer once its state was read twice.
    auto read_state_twice = [&] {
        board.read32((held_block + regs::control) * 4);
        board.read32((held_block + regs::control) * 4);
    };
    auto starts = [&] {
        std::lock_guard<std::mutex> lock(board.mutex());
        return core.starts;
    };

    core.hold = true;
    arm();   // 0 to 1 ms
    read_state_twice();
    arm();   // queued: 1 to 2 ms
    ASSERT_TRUE(eventually([&] { return starts().size() == 1; }));
    // The worker is held for five units' time: the queued unit still starts
    // where the first ends, and both end long before the worker gets to them.
    board.step(5ms);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(core.completed(), 0u);
    core.hold = false;
    ASSERT_TRUE(eventually([&] { return core.completed() == 2; }));
    // Armed once the core is idle, a unit starts at its arm.
    arm();
    board.step(1ms);
    ASSERT_TRUE(eventually([&] { return core.completed() == 3; }));
    const std::vector<model_clock::duration> expected = {0ms, 1ms, 5ms};
    EXPECT_EQ(starts(), expected);
    EXPECT_TRUE(board.guest_errors().empty());
}

// The program reads a busy core's state, and once more when it finds it
// busy, before it queues a further buffer; a program that skipped either
// read is reported (the buffer is still queued).
TEST(capture_core, a_busy_core_is_rearmed_only_after_its_state_was_read_twice)
{
    held_board setup;
    fpga& board = setup.board;
    held_core& core = setup.core;
    const uint32_t control = (held_block + regs::control) * 4;
    auto arm = [&] { board.write8(control + regs::lane_command, regs::command_arm); };
    auto errors_after = [&](auto&& steps) {
        const size_t before = board.guest_errors().size();
        steps();
        return board.guest_errors().size() - before;
    };

    // Idle: no read is owed.
    EXPECT_EQ(errors_after([&] { arm(); }), 0u);
    EXPECT_EQ(errors_after([&] { arm(); }), 1u) << "no read";
    EXPECT_EQ(errors_after([&] {
                  board.read32(control);
                  arm();
              }),
              1u)
        << "one read";
    // Byte reads of register 0 count as reads of the state.
    EXPECT_EQ(errors_after([&] {
                  board.read32(control);
                  board.read8(control + regs::lane_events);
                  arm();
              }),
              0u);
    // Reads made before the last arm do not count for the next one.
    EXPECT_EQ(errors_after([&] {
                  board.read32(control);
                  board.read32(control);
                  arm();
                  board.read32(control);
                  arm();
              }),
              1u);
    const std::vector<std::string> errors = board.guest_errors();
    ASSERT_FALSE(errors.empty());
    EXPECT_NE(errors.back().find("held: armed while busy without its state read twice"), std::string::npos)
        << errors.back();

    // Once the core has gone idle, an arm owes nothing again.
    board.step(10ms);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(board.mutex());
        return core.unit_in_progress() == nullptr;
    }));
    EXPECT_EQ(errors_after([&] { arm(); }), 0u);
}
