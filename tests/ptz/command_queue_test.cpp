// The command queue with a recording line: what it sends, in order, and
// where it pauses. The pause is the line's pacing, so "pause" counts the
// 30 ms steps a request takes.
#include "ptz/command_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/ptz/hex.h"

namespace {

class recorded_queue {
public:
    recorded_queue()
        : commands([this](const visca_message& m) { return trace.push_back(hex(m)), int(m.size); },
                   [this] { trace.push_back("pause"); })
    {
    }

    // Queues the requests and the stop request, then serves them all.
    std::vector<std::string> run(const std::vector<ptz_request>& queued)
    {
        for (const auto& r : queued)
            ring.push(r);
        ring.push({ptz_code::stop_queue, 0, 0});
        trace.clear();
        commands.run(ring, outside_commands);
        return trace;
    }

    std::atomic<uint32_t> outside_commands{0};
    request_ring ring;
    std::vector<std::string> trace;
    command_queue commands;
};

using trace = std::vector<std::string>;

TEST(command_queue, sends_one_drive_for_a_run_of_pan_tilt_requests_with_the_last_values)
{
    recorded_queue q;
    std::vector<ptz_request> burst;
    for (int i = 1; i <= 10; ++i)
        burst.push_back({ptz_code::pan_tilt_speed, float(i) / 10.0f, 0.0f});
    EXPECT_EQ(q.run(burst), (trace{"82 01 06 01 18 00 01 03 FF", "pause"}));
}

TEST(command_queue, merges_only_consecutive_requests_of_one_code)
{
    recorded_queue q;
    EXPECT_EQ(q.run({{ptz_code::zoom_speed, 0.3f, 0},
                     {ptz_code::zoom_stop, 0, 0},
                     {ptz_code::zoom_speed, -1.0f, 0},
                     {ptz_code::zoom_speed, 0.3f, 0}}),
              (trace{"82 01 04 07 24 FF", "pause", "82 01 04 07 00 FF", "pause", "82 01 04 07 24 FF", "pause"}));
}

TEST(command_queue, one_shot_white_balance_sets_the_mode_then_triggers)
{
    recorded_queue q;
    // Back to back they merge into one.
    EXPECT_EQ(q.run({{ptz_code::white_balance_one_shot, 0, 0}, {ptz_code::white_balance_one_shot, 0, 0}}),
              (trace{"82 01 04 35 03 FF", "pause"}));
    // Apart, the second measures again.
    EXPECT_EQ(q.run({{ptz_code::none, 0, 0}, {ptz_code::white_balance_one_shot, 0, 0}}),
              (trace{"pause", "82 01 04 10 05 FF", "pause"}));
    EXPECT_EQ(q.run({{ptz_code::white_balance_auto, 0, 0}, {ptz_code::white_balance_one_shot, 0, 0}}),
              (trace{"82 01 04 35 00 FF", "pause", "82 01 04 35 03 FF", "pause"}));
}

TEST(command_queue, manual_white_balance_with_new_gains_takes_four_pauses)
{
    recorded_queue q;
    // The first with the starting gains sends only the mode.
    EXPECT_EQ(q.run({{ptz_code::white_balance_manual, 0.5f, 0.5f}}), (trace{"82 01 04 35 05 FF", "pause", "pause"}));

    recorded_queue fresh;
    // Mode, red, blue, each followed by a pause, and the request's own: 120 ms.
    EXPECT_EQ(fresh.run({{ptz_code::white_balance_manual, 1.0f, 0.0f}}),
              (trace{"82 01 04 35 05 FF", "pause", "82 01 04 43 00 00 0F 0F FF", "pause", "82 01 04 44 00 00 00 00 FF",
                     "pause", "pause"}));
    // Away from manual and back: unchanged gains are not sent again.
    EXPECT_EQ(fresh.run({{ptz_code::white_balance_indoor, 0, 0}, {ptz_code::white_balance_manual, 1.0f, 0.25f}}),
              (trace{"82 01 04 35 01 FF", "pause", "82 01 04 35 05 FF", "pause", "82 01 04 44 00 00 03 0F FF", "pause",
                     "pause"}));
}

TEST(command_queue, focus_and_exposure_modes_are_sent_when_they_change)
{
    recorded_queue q;
    EXPECT_EQ(q.run({{ptz_code::focus_manual, 0.0f, 0},
                     {ptz_code::exposure_manual, 1.0f, 0},
                     {ptz_code::focus_manual, 1.0f, 0}}),
              (trace{"82 01 04 38 03 FF", "pause", "82 01 04 48 01 00 00 00 FF", "pause", "82 01 04 39 03 FF", "pause",
                     "82 01 04 4B 00 00 01 01 FF", "pause", "82 01 04 48 0F 00 00 00 FF", "pause"}));
    EXPECT_EQ(
        q.run({{ptz_code::focus_auto, 0, 0},
               {ptz_code::focus_manual, 0.5f, 0},
               {ptz_code::exposure_auto, 0, 0},
               {ptz_code::exposure_manual, 0.5f, 0}}),
        (trace{"82 01 04 38 02 FF", "pause", "82 01 04 38 03 FF", "pause", "82 01 04 48 08 00 00 00 FF", "pause",
               "82 01 04 39 00 FF", "pause", "82 01 04 39 03 FF", "pause", "82 01 04 4B 00 00 00 0A FF", "pause"}));
}

TEST(command_queue, sends_the_modes_again_once_others_may_have_changed_them)
{
    recorded_queue q;
    const std::vector<ptz_request> requests = {{ptz_code::focus_manual, 0.0f, 0},
                                               {ptz_code::exposure_manual, 1.0f, 0},
                                               {ptz_code::white_balance_manual, 1.0f, 0.0f},
                                               {ptz_code::white_balance_one_shot, 0, 0}};
    const trace full = {"82 01 04 38 03 FF",
                        "pause",
                        "82 01 04 48 01 00 00 00 FF",
                        "pause",
                        "82 01 04 39 03 FF",
                        "pause",
                        "82 01 04 4B 00 00 01 01 FF",
                        "pause",
                        "82 01 04 35 05 FF",
                        "pause",
                        "82 01 04 43 00 00 0F 0F FF",
                        "pause",
                        "82 01 04 44 00 00 00 00 FF",
                        "pause",
                        "pause",
                        "82 01 04 35 03 FF",
                        "pause"};
    EXPECT_EQ(q.run(requests), full);
    // Known modes and gains are not sent again; one-push measures again.
    EXPECT_EQ(q.run(requests),
              (trace{"82 01 04 48 01 00 00 00 FF", "pause", "82 01 04 4B 00 00 01 01 FF", "pause", "82 01 04 35 05 FF",
                     "pause", "pause", "82 01 04 35 03 FF", "pause"}));
    ++q.outside_commands;   // a controller may have changed them
    EXPECT_EQ(q.run(requests), full);
}

TEST(command_queue, forgets_modes_only_after_a_command_that_can_change_them)
{
    recorded_queue q;
    // What the bridge does with each command it forwards.
    const auto forwarded = [&](std::vector<uint8_t> m) {
        if (may_change_camera_modes(m.data(), m.size()))
            ++q.outside_commands;
    };
    const std::vector<ptz_request> one_push = {{ptz_code::white_balance_one_shot, 0, 0}};
    EXPECT_EQ(q.run(one_push), (trace{"82 01 04 35 03 FF", "pause"}));
    forwarded({0x81, 0x01, 0x04, 0x07, 0x27, 0xFF});   // a controller's zoom
    EXPECT_EQ(q.run(one_push), (trace{"82 01 04 10 05 FF", "pause"}));
    forwarded({0x81, 0x01, 0x04, 0x35, 0x00, 0xFF});   // its white balance auto
    EXPECT_EQ(q.run(one_push), (trace{"82 01 04 35 03 FF", "pause"}));
}

TEST(command_queue, tells_the_commands_that_can_change_the_camera_modes)
{
    const auto changes = [](std::vector<uint8_t> m) { return may_change_camera_modes(m.data(), m.size()); };
    for (const auto& m : std::vector<std::vector<uint8_t>>{
             {0x81, 0x01, 0x04, 0x35, 0x00, 0xFF},                     // white balance mode
             {0x81, 0x01, 0x04, 0x43, 0x00, 0x00, 0x07, 0x0F, 0xFF},   // red gain
             {0x81, 0x01, 0x04, 0x04, 0x00, 0xFF},                     // blue gain reset
             {0x81, 0x01, 0x04, 0x38, 0x02, 0xFF},                     // focus mode
             {0x82, 0x01, 0x04, 0x39, 0x03, 0xFF},                     // exposure mode, from a local process
             {0x81, 0x01, 0x04, 0x4B, 0x00, 0x00, 0x01, 0x01, 0xFF},   // iris
             {0x81, 0x01, 0x04, 0x00, 0x03, 0xFF},                     // power off
             {0x81, 0x01, 0x04, 0x19, 0x03, 0xFF},                     // camera reset
             {0x81, 0x01, 0x04, 0x3F, 0x02, 0x01, 0xFF},               // preset recall
         })
        EXPECT_TRUE(changes(m)) << hex(m);
    for (const auto& m : std::vector<std::vector<uint8_t>>{
             {0x81, 0x01, 0x06, 0x01, 0x0C, 0x0C, 0x01, 0x03, 0xFF},   // pan-tilt drive
             {0x81, 0x01, 0x04, 0x07, 0x27, 0xFF},                     // zoom
             {0x81, 0x01, 0x04, 0x47, 0x02, 0x00, 0x00, 0x00, 0xFF},   // zoom direct
             {0x81, 0x01, 0x04, 0x3F, 0x01, 0x01, 0xFF},               // preset store
             {0x81, 0x01, 0x04, 0x10, 0x05, 0xFF},                     // one-push trigger
             {0x81, 0x01, 0x04, 0x66, 0x02, 0xFF},                     // flip
             {0x81, 0x01, 0x7E, 0x01, 0x0A, 0x00, 0x02, 0xFF},         // tally
             {0x81, 0x09, 0x04, 0x35, 0xFF},                           // an inquiry
             {0x81, 0x21, 0xFF},                                       // a cancel
             {0x81, 0x01, 0x04, 0x35},                                 // cut short
         })
        EXPECT_FALSE(changes(m)) << hex(m);
}

TEST(command_queue, executes_each_remaining_code)
{
    recorded_queue q;
    EXPECT_EQ(
        q.run({{ptz_code::pan_tilt_stop, 0, 0},
               {ptz_code::pan_tilt_position, -0.5f, 0.5f},
               {ptz_code::zoom_position, 1.0f, 0},
               {ptz_code::store_preset, 99.0f, 0},
               {ptz_code::recall_preset, 3.0f, 1.0f},
               {ptz_code::flip, 1.0f, 0},
               {0x999, 1, 1},
               {ptz_code::flip, 0.0f, 0},
               {ptz_code::white_balance_outdoor, 0, 0}}),
        (trace{"82 01 06 01 00 00 03 03 FF", "pause", "82 01 06 01 0C 0B 02 01 FF", "pause",
               "82 01 04 47 04 00 00 00 FF", "pause", "82 01 04 3F 01 63 FF", "pause", "82 01 04 3F 02 03 FF", "pause",
               "82 01 04 66 02 FF", "pause", "pause", "82 01 04 66 03 FF", "pause", "82 01 04 35 02 FF", "pause"}));
}

TEST(request_ring, holds_at_most_63_dropping_the_oldest)
{
    request_ring ring;
    for (int i = 0; i < 64; ++i)
        ring.push({ptz_code::store_preset + (i % 2), float(i), 0});   // alternate codes: nothing merges
    EXPECT_EQ(ring.size(), 63);
    EXPECT_EQ(ring.take().value1, 1.0f);   // request 0 was dropped
    for (int i = 0; i < 100; ++i)
        ring.push({ptz_code::none, 0, 0});
    EXPECT_EQ(ring.size(), 63);
}

TEST(request_ring, never_drops_a_stop_for_a_flood)
{
    request_ring ring;
    ring.push({ptz_code::pan_tilt_speed, 1.0f, 0});
    ring.push({ptz_code::pan_tilt_stop, 0, 0});
    ring.push({ptz_code::zoom_speed, 1.0f, 0});
    ring.push({ptz_code::zoom_stop, 0, 0});
    for (int i = 0; i < 1000; ++i)   // a joystick and a zoom rocker, without pause
        ring.push({ptz_code::flip + (i % 2), float(i), 0});
    EXPECT_EQ(ring.size(), 63);
    EXPECT_EQ(ring.take().code, ptz_code::pan_tilt_stop);
    EXPECT_EQ(ring.take().code, ptz_code::zoom_stop);
    EXPECT_EQ(ring.take().value1, 939.0f);   // then the newest 61 of the flood, in order
    EXPECT_EQ(ring.take().value1, 940.0f);

    // Made of stops only, the ring lets the oldest go.
    request_ring stops;
    for (int i = 0; i < 64; ++i)
        stops.push({i % 2 ? ptz_code::zoom_stop : ptz_code::pan_tilt_stop, float(i), 0});
    EXPECT_EQ(stops.size(), 63);
    EXPECT_EQ(stops.take().value1, 1.0f);
}

// What the ring holds, oldest first, as take gives it out; never waits.
std::vector<ptz_request> taken_all(request_ring& ring)
{
    std::vector<ptz_request> taken;
    while (ring.size() > 0)
        taken.push_back(ring.take());
    return taken;
}

TEST(request_ring, never_drops_the_last_waiting_stop_of_a_kind)
{
    // A zoom stop, then 62 pan-tilt stops, then a request: the zoom stop
    // still goes out, and so does the newest pan-tilt stop.
    request_ring full;
    full.push({ptz_code::zoom_stop, 0, 0});
    for (int i = 0; i < 62; ++i)
        full.push({ptz_code::pan_tilt_stop, float(i), 0});
    full.push({ptz_code::flip, 1.0f, 0});
    std::vector<ptz_request> taken = taken_all(full);
    ASSERT_EQ(taken.size(), 3u);
    EXPECT_EQ(taken[0].code, ptz_code::zoom_stop);
    EXPECT_EQ(taken[1].value1, 61.0f);
    EXPECT_EQ(taken[2].code, ptz_code::flip);

    request_ring ring;
    ring.push({ptz_code::pan_tilt_stop, 1, 0});
    for (int i = 0; i < 62; ++i)
        ring.push({ptz_code::zoom_stop, float(i), 0});
    ring.push({ptz_code::stop_queue, 0, 0});
    taken = taken_all(ring);
    ASSERT_EQ(taken.size(), 3u);
    EXPECT_EQ(taken[0].code, ptz_code::pan_tilt_stop);
    EXPECT_EQ(taken[1].value1, 61.0f);   // the newest zoom stop
    EXPECT_EQ(taken[2].code, ptz_code::stop_queue);
}

TEST(request_ring, wakes_a_waiting_consumer)
{
    request_ring ring;
    ptz_request taken;
    std::thread consumer([&] { taken = ring.take(); });
    ring.push({ptz_code::flip, 1.0f, 0});
    consumer.join();
    EXPECT_EQ(taken.code, ptz_code::flip);
    EXPECT_EQ(ring.size(), 0);
}

}   // namespace
