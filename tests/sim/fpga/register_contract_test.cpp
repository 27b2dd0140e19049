// The register contract of hw/registers.h as the virtual cores keep it:
// every write a core's map refuses is a guest error that changes nothing,
// and a reset brings every register back to its map's value.
#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "hw/hardware.h"
#include "hw/registers.h"
#include "sim/cores/encoder_core.h"
#include "sim/cores/track_core.h"
#include "sim/cores/video_input_core.h"
#include "tests/support/test_board.h"

namespace {

const regs::core_map* const maps[] = {&regs::encoder_map, &regs::video_in_map, &regs::preview_in_map,
                                      &regs::audio_in_map, &regs::track_map};

vfpga::board_config stepped()
{
    vfpga::board_config c = test_board::small_config();
    c.clock = "stepped";
    return c;
}

}   // namespace

TEST(register_contract, every_map_names_each_register_once_within_its_block)
{
    for (const regs::core_map* map : maps) {
        SCOPED_TRACE(map->device);
        EXPECT_LE(map->registers, regs::block_span);
        std::set<unsigned> seen;
        for (const regs::register_field& f : map->fields) {
            EXPECT_LT(f.reg, map->registers) << f.name;
            EXPECT_TRUE(seen.insert(f.reg).second) << f.name << " twice";
            EXPECT_GE(f.width, 1u);
            EXPECT_LE(f.width, 32u);
            EXPECT_EQ(f.reset >> (f.width - 1) >> 1, 0u) << f.name << ": reset value beyond its width";
        }
        EXPECT_EQ(map->field(regs::control), &map->fields[0]) << "register 0 is every core's handshake";
    }
}

TEST(register_contract, writes_the_map_refuses_are_guest_errors_that_change_nothing)
{
    test_board board(stepped());
    hardware hw;
    const uint32_t encoder = regs::encoder_block(0);

    hw.write_reg8(encoder, regs::encoder_quant_port, 0, 0x01);   // the table port takes whole words
    hw.write_reg32(encoder, regs::encoder_slice_length, 7);      // read-only
    hw.write_reg32(encoder, regs::encoder_present, 0);           // read-only
    hw.write_reg32(regs::video_in_block, 5, 9);                  // a register vid_in does not have
    hw.write_reg32(regs::track_block, regs::control, 0x0103);    // the tracker holds a control byte
    EXPECT_EQ(board.take_guest_errors(),
              (std::vector<std::string>{
                  "encoder0: table port register 2 written in part (byte lanes 0x000000ff)",
                  "encoder0: write to the read-only register 11",
                  "encoder0: write to the read-only register 15",
                  "vid_in: write to unused register 5",
                  "track: write of 0x00000103 to register 0, which holds 8 bits",
              }));

    EXPECT_EQ(hw.read_reg32(encoder, regs::encoder_slice_length), 0u);
    EXPECT_EQ(hw.read_reg32(encoder, regs::encoder_present), 1u);
    EXPECT_EQ(hw.read_reg32(regs::video_in_block, 5), 0u);
    // The refused control byte 3 did not start the tracker: a change of the
    // input raises nothing.
    auto* track = board.fpga().model<vfpga::track_core>();
    track->set_signal(*vfpga::video_signal::parse("720p50"));
    std::lock_guard<std::mutex> lock(board.fpga().mutex());
    EXPECT_FALSE(track->irq_asserted());
}

TEST(register_contract, a_reset_brings_each_core_back_to_its_maps_values)
{
    test_board board(stepped());
    hardware hw;
    vfpga::fpga& fpga = board.fpga();
    const uint32_t encoder = regs::encoder_block(0);
    hw.write_reg32(encoder, regs::encoder_width, 1920);
    hw.write_reg8(encoder, regs::control, regs::lane_enable, regs::events_enable);
    hw.write_reg32(regs::video_in_block, regs::video_buffer, 0x10000000);
    hw.write_reg8(regs::track_block, regs::control, regs::lane_command, regs::track_start);
    {
        std::lock_guard<std::mutex> lock(fpga.mutex());
        fpga.model<vfpga::encoder_core>()->reset();
        fpga.model<vfpga::video_input_core>()->reset();
        fpga.model<vfpga::track_core>()->reset();
    }
    EXPECT_EQ(hw.read_reg32(encoder, regs::encoder_width), 0u);
    EXPECT_EQ(hw.read_reg8(encoder, regs::control, regs::lane_enable), 0u);
    EXPECT_EQ(hw.read_reg32(encoder, regs::encoder_present), 1u);
    EXPECT_EQ(hw.read_reg32(regs::video_in_block, regs::video_buffer), 0u);

    // vid_in forgot its buffer: an arm now comes before any address.
    hw.write_reg8(regs::video_in_block, regs::control, regs::lane_mode, 1);
    hw.write_reg8(regs::video_in_block, regs::control, regs::lane_command, regs::command_arm);
    hw.write_reg8(regs::video_in_block, regs::control, regs::lane_command, 0);
    EXPECT_EQ(board.take_guest_errors(),
              (std::vector<std::string>{"vid_in: armed before a buffer address was written to register 2"}));

    // The tracker stopped: a change of the input raises nothing.
    auto* track = fpga.model<vfpga::track_core>();
    track->set_signal(*vfpga::video_signal::parse("720p50"));
    std::lock_guard<std::mutex> lock(fpga.mutex());
    EXPECT_FALSE(track->irq_asserted());
}
