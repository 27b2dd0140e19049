// The virtual tracking core: its status word, its interrupt, its schedules.
#include "sim/cores/track_core.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "hw/registers.h"
#include "sim/fpga/fpga.h"
#include "tests/support/test_board.h"

using namespace std::chrono_literals;

namespace {

vfpga::video_signal signal(const char* name)
{
    return *vfpga::video_signal::parse(name);
}

}   // namespace

TEST(track_core, raises_its_interrupt_on_changes_while_running_until_acknowledged)
{
    test_board board;
    vfpga::fpga& fpga = board.fpga();
    auto* core = fpga.model<vfpga::track_core>();
    const uint32_t control = regs::track_block * 4;
    auto delivered = [&] { return fpga.irq_count(regs::irq_track); };

    EXPECT_EQ(fpga.read32(control), 0x80u | 16667u << 16);
    core->set_signal(signal("720p50"));   // not started: no event
    fpga.write8(control, regs::track_start);
    EXPECT_EQ(delivered(), 0u);
    EXPECT_EQ(fpga.read32(control), 0x20u | 20000u << 16);

    core->set_signal(signal("none"));
    EXPECT_EQ(delivered(), 1u);
    EXPECT_EQ(fpga.read32(control), 0u);
    core->set_signal(signal("none"));   // the same status again is no change
    fpga.enable_irq(regs::irq_track);   // ...but the unacknowledged event still holds the line
    EXPECT_EQ(delivered(), 2u);
    fpga.write8(control, regs::track_acknowledge);
    fpga.enable_irq(regs::irq_track);
    EXPECT_EQ(delivered(), 2u);

    core->set_signal(signal("1080p60"));
    EXPECT_EQ(delivered(), 3u);
    fpga.write8(control, regs::track_stop);   // a stop drops the pending event
    fpga.enable_irq(regs::irq_track);
    core->set_signal(signal("1080p50"));   // stopped: no event
    fpga.write8(control, regs::track_start);
    EXPECT_EQ(delivered(), 3u);

    EXPECT_TRUE(board.take_guest_errors().empty());
    fpga.write8(control, 5);
    fpga.write32(control + 4, 1);
    EXPECT_EQ(board.take_guest_errors().size(), 2u);
}

TEST(track_core, parses_signal_schedules_and_rejects_bad_ones)
{
    const auto steps = vfpga::parse_signal_schedule("1080p59.94, 5s:none,300ms : 720p50,1.5s:1080i50");
    ASSERT_EQ(steps.size(), 4u);
    EXPECT_EQ(steps[0].delay, 0s);
    EXPECT_EQ(steps[0].signal.rate_d, 1001u);
    EXPECT_EQ(steps[1].delay, 5s);
    EXPECT_FALSE(steps[1].signal.present);
    EXPECT_EQ(steps[2].delay, 300ms);
    EXPECT_EQ(steps[2].signal.height, 720u);
    EXPECT_EQ(steps[3].delay, 1500ms);
    EXPECT_TRUE(steps[3].signal.interlaced);

    for (const char* bad : {"", " ", "4k60", "1080p60,", "1080p60,,5s:none", "1080p60,5s", "1080p60,5:none",
                            "1080p60,5m:none", "1080p60,s:none", "1080p60,1.2.3s:none", "1080p60,-1s:none",
                            "1080p60,5s:4k", "1080p60,9999999s:none", "5s:1080p60"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(vfpga::parse_signal_schedule(bad), std::runtime_error);
    }

    // A bad schedule stops the board from starting, with the fault named.
    auto config = test_board::small_config();
    config.settings["signal"] = "1080p60,5s:4k";
    try {
        vfpga::fpga board(config, "");
        ADD_FAILURE() << "the board started";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("unknown format \"4k\""), std::string::npos) << e.what();
    }
}
