#include "app/status_report.h"

#include <gtest/gtest.h>

#include "app/control_pipe.h"

namespace {

using namespace std::chrono_literals;

status_snapshot busy_appliance()
{
    status_snapshot s;
    s.video = true;
    s.signal.valid = 1;
    s.signal.width = 1920;
    s.signal.height = 1080;
    s.signal.frame_rate_n = 60000;
    s.signal.frame_rate_d = 1001;
    s.media_counters = true;
    s.full = {3596, 3590, 6, 89, 139.94};
    s.preview = {1798, 1795, 3, 35, 4.71};
    s.encoder_resets = 2;
    s.audio_captured = 3720;
    s.audio_sent = 3719;
    s.audio_dropped = 1;
    s.receivers = 2;
    s.tally.on_program = true;
    s.camera_counters = true;
    s.camera_commands = 41;
    s.camera_replies = 40;
    s.camera_refused = 7;
    s.replies_dropped = 3;
    return s;
}

}   // namespace

TEST(status_report, one_line_of_pairs_in_a_fixed_order)
{
    EXPECT_EQ(busy_appliance().line(),
              "status signal=1920x1080p59.94"
              " full_captured=3596 full_sent=3590 full_dropped=6 full_q=89 full_mbps=139.9"
              " preview_captured=1798 preview_sent=1795 preview_dropped=3 preview_q=35 preview_mbps=4.7"
              " encoder_resets=2 audio_captured=3720 audio_sent=3719 audio_dropped=1"
              " receivers=2 tally=program camera_commands=41 camera_replies=40 camera_refused=7"
              " replies_dropped=3\n");
    // The control pipe answers "status" with exactly that line.
    EXPECT_EQ(interpret_command("status\n", nullptr, nullptr, busy_appliance()).text, busy_appliance().line());
}

TEST(status_report, signal_tally_and_quality_words)
{
    auto s = busy_appliance();
    auto has = [&](const std::string& pair) { return s.line().find(" " + pair + " ") != std::string::npos; };
    s.signal.height = 540;
    s.signal.interlaced = 1;
    EXPECT_TRUE(has("signal=1920x1080i119.88"));
    s.signal.width = 0;
    EXPECT_TRUE(has("signal=none"));
    s.signal = {};
    s.signal.width = 1280;
    s.signal.height = 720;
    EXPECT_TRUE(has("signal=none")) << "not valid";
    s.video = false;
    EXPECT_TRUE(has("signal=off"));

    s.tally = {false, false};
    EXPECT_TRUE(has("tally=off"));
    s.tally = {false, true};
    EXPECT_TRUE(has("tally=preview"));
    s.tally = {true, true};
    EXPECT_TRUE(has("tally=program+preview"));

    s.full.q = -1;
    EXPECT_TRUE(has("full_q=-"));
    EXPECT_TRUE(has("preview_q=35"));
}

TEST(status_report, groups_without_a_source_are_left_out)
{
    auto s = busy_appliance();
    s.media_counters = false;
    s.camera_counters = false;
    EXPECT_EQ(s.line(), "status signal=1920x1080p59.94 receivers=2 tally=program replies_dropped=3\n");
}

TEST(status_report, the_longest_line_fits_one_pipe_write)
{
    auto s = busy_appliance();
    const uint64_t most = UINT64_MAX;
    s.full = s.preview = {most, most, most, 99, 1e9};
    s.encoder_resets = s.audio_captured = s.audio_sent = s.audio_dropped = most;
    s.camera_commands = s.camera_replies = s.camera_refused = s.replies_dropped = most;
    s.receivers = INT32_MAX;
    s.signal.width = s.signal.height = s.signal.frame_rate_n = UINT32_MAX;
    s.signal.frame_rate_d = 1;
    s.tally = {true, true};
    const std::string line = s.line();
    EXPECT_LT(line.size(), 1024u);
    EXPECT_EQ(line.find('\n'), line.size() - 1);
}

TEST(status_report, bit_rate_over_the_last_second)
{
    status_report::rate_meter meter;
    const auto t0 = status_report::clock::time_point{} + 100s;
    EXPECT_EQ(meter.mbps(t0, 1000), 0.0) << "no sample yet";

    // 17.5 MB a second, sampled every half second: 140 Mbit/s.
    uint64_t bytes = 0;
    for (int i = 0; i <= 10; ++i, bytes += 8750000)
        meter.sample(t0 + i * 500ms, bytes);
    bytes -= 8750000;   // what the last sample saw
    EXPECT_NEAR(meter.mbps(t0 + 5000ms, bytes), 140.0, 0.01);
    // A quarter second after the last sample: from the sample 1.25 s back.
    EXPECT_NEAR(meter.mbps(t0 + 5250ms, bytes + 4375000), (8750000.0 * 2 + 4375000) * 8 / 1.25 / 1e6, 0.01);

    // A burst within the last second counts whole, over the whole second.
    status_report::rate_meter bursty;
    bursty.sample(t0, 0);
    bursty.sample(t0 + 500ms, 0);
    bursty.sample(t0 + 1000ms, 10000000);
    bursty.sample(t0 + 1500ms, 10000000);
    EXPECT_NEAR(bursty.mbps(t0 + 1500ms, 10000000), 80.0, 1e-9);
    bursty.sample(t0 + 2000ms, 10000000);
    EXPECT_EQ(bursty.mbps(t0 + 2000ms, 10000000), 0.0) << "the burst is over a second old";

    // The stream stops: a second later the rate is 0, not the average of a run.
    meter.sample(t0 + 5500ms, bytes);
    meter.sample(t0 + 6000ms, bytes);
    meter.sample(t0 + 6500ms, bytes);
    EXPECT_EQ(meter.mbps(t0 + 7000ms, bytes), 0.0);
}

TEST(status_report, bit_rate_early_on_and_after_a_restart)
{
    status_report::rate_meter meter;
    const auto t0 = status_report::clock::time_point{} + 100s;
    meter.sample(t0, 0);
    EXPECT_NEAR(meter.mbps(t0 + 250ms, 250000), 8.0, 1e-9) << "a quarter second is all there is";
    EXPECT_EQ(meter.mbps(t0, 1), 0.0) << "no time has passed";
    // A counter that went back (an object made anew) gives no rate rather than a huge one.
    status_report::rate_meter restarted;
    restarted.sample(t0, 5000000);
    EXPECT_EQ(restarted.mbps(t0 + 1000ms, 10), 0.0);
}
