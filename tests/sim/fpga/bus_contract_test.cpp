// What the bus tells about the program's accesses: the register log traces
// every read and write, and anything no model answers for, or that a core
// would refuse, is a guest error in the guest-errors file that the
// whole-process tests watch.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "hw/hardware.h"
#include "hw/registers.h"
#include "tests/support/open_descriptors.h"
#include "tests/support/test_board.h"

namespace {

std::vector<std::string> lines_of(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The line's text after the board time.
std::string untimed(const std::string& line)
{
    const size_t after = line.find_first_not_of(" 0123456789.");
    return after == std::string::npos ? "" : line.substr(after);
}

class bus_contract : public testing::Test {
protected:
    bus_contract() : board(config(files)) {}

    struct log_files {
        std::string registers = scratch("registers");
        std::string errors = scratch("errors");
        static std::string scratch(const char* what)
        {
            const std::string path = testing::TempDir() + "bus_contract_" + what + "_" + std::to_string(getpid());
            std::remove(path.c_str());
            return path;
        }
    };

    static vfpga::board_config config(const log_files& to)
    {
        vfpga::board_config c = test_board::small_config();
        c.clock = "stepped";
        c.settings["register_log"] = to.registers;
        c.settings["guest_errors"] = to.errors;
        return c;
    }

    ~bus_contract() override
    {
        std::remove(files.registers.c_str());
        std::remove(files.errors.c_str());
    }

    // The register log as written so far.
    std::vector<std::string> traced()
    {
        std::vector<std::string> accesses;
        for (const std::string& line : lines_of(files.registers))
            accesses.push_back(untimed(line));
        return accesses;
    }

    log_files files;
    test_board board;
    hardware hw;
};

}   // namespace

TEST_F(bus_contract, the_register_log_traces_every_read_and_write_in_order)
{
    const size_t before = traced().size();   // what the hardware's start-up did
    hw.write_reg32(regs::video_in_block, regs::video_buffer, 0x10000000);
    hw.write_reg8(regs::video_in_block, regs::control, regs::lane_events, regs::events_clear);
    hw.read_reg32(regs::video_in_block, regs::control);
    hw.read_reg8(regs::audio_in_block, regs::control, regs::lane_events);
    hw.read_reg32(regs::encoder_block(0), regs::encoder_present);

    std::vector<std::string> accesses = traced();
    ASSERT_GE(accesses.size(), before);
    accesses.erase(accesses.begin(), accesses.begin() + long(before));
    const std::vector<std::string> expected = {
        "write reg 0x202 lane 0 word 0x10000000", "write reg 0x200 lane 3 byte 0xc0",
        "read  reg 0x200 lane 0 word 0x00000000", "read  reg 0x220 lane 3 byte 0x00",
        "read  reg 0x00f lane 0 word 0x00000001",
    };
    EXPECT_EQ(accesses, expected);
    EXPECT_TRUE(board.take_guest_errors().empty());
}

TEST_F(bus_contract, accesses_nothing_models_are_reported_into_the_guest_errors_file)
{
    // The presence words of the encoders the board lacks and the
    // identification words read without a word; nothing else unowned does.
    hw.read_reg32(regs::encoder_block(3), regs::encoder_present);
    hw.read_reg32(0, regs::date_offset / 4);
    EXPECT_TRUE(board.take_guest_errors().empty());

    hw.read_reg32(0x300, 1);                        // no core there
    hw.write_reg32(0x300, 1, 5);                    // nor here
    hw.write_reg32(regs::audio_in_block, 5, 1);     // beyond the audio core's registers
    hw.write_reg32(regs::encoder_block(0), 9, 1);   // a register the encoder does not have
    hw.write_reg8(regs::audio_in_block, regs::control, regs::lane_command, 0x42);   // an unknown command
    hw.write_reg8(regs::encoder_block(1), regs::control, regs::lane_command, 0x42);
    hw.write_reg32(regs::video_in_block, 7, 1);   // a register the video core does not have

    const std::vector<std::string> expected = {
        "unimplemented: read of register 0x301, which no core has",
        "unimplemented: write of 0x5 to register 0x301, which no core has",
        "unimplemented: write of 0x1 to register 0x225, which no core has",
        "encoder0: write to unused register 9",
        "aud_in: unknown command 0x42 in register 0",
        "encoder1: unknown command 0x42 in register 0",
        "vid_in: write to unused register 7",
    };
    EXPECT_EQ(board.take_guest_errors(), expected);
    EXPECT_EQ(lines_of(files.errors), expected);
}

TEST_F(bus_contract, the_event_lanes_of_register_0_work_alike_on_every_core)
{
    // Both shapes take the shared handshake of register 0 through one
    // dispatch: enable, then clear, on an idle core of each.
    for (uint32_t block : {regs::encoder_block(0), regs::audio_in_block, regs::video_in_block}) {
        hw.write_reg8(block, regs::control, regs::lane_enable, regs::events_enable);
        EXPECT_EQ(hw.read_reg8(block, regs::control, regs::lane_enable), regs::events_enable) << block;
        EXPECT_EQ(hw.read_reg32(block, regs::control) & regs::state_mask, regs::state_idle) << block;
        hw.write_reg8(block, regs::control, regs::lane_events, regs::events_clear);
        EXPECT_EQ(hw.read_reg8(block, regs::control, regs::lane_events), 0) << block;
    }
    EXPECT_TRUE(board.take_guest_errors().empty());
}

// A board without a core has no registers there: the bus reads 0 and drops
// writes, as such a board does, and the program that probes or drives the
// core it lacks is not at fault for the model.
TEST(bus_without_a_core, the_blocks_of_absent_cores_read_0_and_drop_writes_without_a_word)
{
    vfpga::board_config config = test_board::small_config();
    config.input_cores = false;   // the output group alone
    config.output_cores = true;
    test_board board(config);
    hardware hw;
    hw.write_reg32(regs::encoder_block(2), regs::encoder_width, 1920);
    EXPECT_EQ(hw.read_reg32(regs::encoder_block(2), regs::encoder_width), 0u);
    EXPECT_EQ(hw.read_reg32(regs::encoder_block(0), regs::encoder_present), 0u);
    hw.write_reg32(regs::audio_in_block, regs::audio_samples, 256);
    hw.write_reg8(regs::audio_in_block, regs::control, regs::lane_command, regs::command_arm);
    EXPECT_EQ(hw.read_reg32(regs::audio_in_block, regs::control), 0u);
    EXPECT_EQ(hw.read_reg8(regs::track_block, regs::control, regs::lane_command), 0u);
    EXPECT_TRUE(board.take_guest_errors().empty());
    // Beyond every core's block it is still a register nothing has.
    hw.write_reg32(0x300, 0, 1);
    EXPECT_EQ(board.take_guest_errors().size(), 1u);
}

TEST(fpga_files, a_board_that_cannot_be_made_leaves_no_file_open)
{
    // The register log opens, the guest-errors file cannot: the board
    // throws, and lets go of the log and its memory as it does.
    const std::string log = testing::TempDir() + "fpga_files_" + std::to_string(getpid());
    vfpga::board_config c = test_board::small_config();
    c.input_cores = false;
    c.settings["register_log"] = log;
    c.settings["guest_errors"] = "/nonexistent/guest_errors";
    const std::set<int> before = open_descriptors();
    EXPECT_THROW(vfpga::fpga(c, ""), std::runtime_error);
    EXPECT_EQ(open_descriptors(), before);
    std::remove(log.c_str());
}
