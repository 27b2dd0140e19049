// The userspace-I/O interrupt line as the generic platform driver presents
// it: one interrupt per enable while the source is asserted, and a wait that
// never enables the line again.
#include "sim/fpga/irq_line.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <string>

#include "hw/hardware.h"
#include "hw/registers.h"
#include "sim/cores/track_core.h"
#include "sim/fpga/video_signal.h"
#include "tests/support/test_board.h"

// Each step: H raises the source, L lowers it, E enables the line; then the
// interrupts counted so far.
TEST(irq_line, delivers_once_per_enable_while_its_source_is_asserted)
{
    const struct {
        const char* steps;
        const char* counts;
        const char* what;
    } cases[] = {
        {"H", "1", "the driver leaves the line enabled: the first assertion is delivered"},
        {"HLH", "111", "delivered lines stay disabled: a new assertion is not counted"},
        {"HLHE", "1112", "enabling a line whose source is asserted delivers at once"},
        {"HE", "12", "a level held high is delivered again on every enable"},
        {"HEE", "123", "...and only on an enable"},
        {"HLEH", "1112", "a line enabled while low waits for the next assertion"},
        {"HLEEH", "11112", "enabling an enabled line changes nothing"},
        {"LLH", "001", "a low source raises nothing"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.steps) + ": " + c.what);
        vfpga::irq_line line;
        std::string counts;
        for (const char* step = c.steps; *step; ++step) {
            if (*step == 'E')
                line.enable();
            else
                line.set_level(*step == 'H');
            counts += std::to_string(line.count());
        }
        EXPECT_EQ(counts, c.counts);
    }
}

// The same through the program's interrupt calls and the library stand-in,
// with the tracking core as the source: its event stays pending until
// acknowledged.
TEST(irq_line, a_wait_takes_one_interrupt_and_never_enables_the_line_again)
{
    auto config = test_board::small_config();
    config.clock = "stepped";
    test_board board(config);
    hardware hw;
    auto* core = board.fpga().model<vfpga::track_core>();
    auto wait = [&](long us) {
        timeval timeout{0, us};
        return hw.wait_irq(regs::irq_track, &timeout);
    };

    hw.write_reg8(regs::track_block, regs::control, regs::lane_command, regs::track_start);
    EXPECT_LT(wait(1000), 0) << "nothing pending yet";
    core->set_signal(*vfpga::video_signal::parse("720p50"));
    EXPECT_GE(wait(1000000), 0);
    EXPECT_LT(wait(50000), 0) << "the event is still pending, but the line was not enabled again";
    hw.enable_irq(regs::irq_track);
    EXPECT_GE(wait(1000000), 0) << "enabled again with the event pending";

    hw.write_reg8(regs::track_block, regs::control, regs::lane_command, regs::track_acknowledge);
    hw.enable_irq(regs::irq_track);
    EXPECT_LT(wait(50000), 0) << "acknowledged: nothing to deliver";
    core->set_signal(*vfpga::video_signal::parse("1080p60"));
    EXPECT_GE(wait(1000000), 0) << "the next change, on the line enabled before it";
}
