#include "ptz/visca_encoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/ptz/hex.h"

namespace {

struct encoded {
    const char* what;
    visca_message message;
    const char* bytes;
};

TEST(visca_encoder, gives_the_bytes_of_every_command)
{
    const std::vector<encoded> table = {
        {"pan 0.5", visca_pan_tilt_drive(0.5f, 0.0f), "82 01 06 01 0C 00 01 03 FF"},
        {"pan -1 tilt -1", visca_pan_tilt_drive(-1.0f, -1.0f), "82 01 06 01 18 17 02 02 FF"},
        {"pan 0.03 truncates to stop", visca_pan_tilt_drive(0.03f, 0.0f), "82 01 06 01 00 00 03 03 FF"},
        {"tilt up", visca_pan_tilt_drive(0.0f, 1.0f), "82 01 06 01 00 17 03 01 FF"},
        {"zoom 0.3", visca_zoom(0.3f), "82 01 04 07 24 FF"},
        {"zoom -1", visca_zoom(-1.0f), "82 01 04 07 37 FF"},
        {"zoom 1", visca_zoom(1.0f), "82 01 04 07 27 FF"},
        {"zoom -0.2", visca_zoom(-0.2f), "82 01 04 07 33 FF"},
        {"zoom 0.05", visca_zoom(0.05f), "82 01 04 07 00 FF"},
        {"zoom position 1", visca_zoom_direct(1.0f), "82 01 04 47 04 00 00 00 FF"},
        {"zoom position 0.5", visca_zoom_direct(0.5f), "82 01 04 47 02 00 00 00 FF"},
        {"zoom position 0.3", visca_zoom_direct(0.3f), "82 01 04 47 01 03 03 03 FF"},
        {"focus 0", visca_focus_direct(0.0f), "82 01 04 48 01 00 00 00 FF"},
        {"focus 1", visca_focus_direct(1.0f), "82 01 04 48 0F 00 00 00 FF"},
        {"iris 1", visca_iris(1.0f), "82 01 04 4B 00 00 01 01 FF"},
        {"iris 0.5", visca_iris(0.5f), "82 01 04 4B 00 00 00 0A FF"},
        {"iris 0", visca_iris(0.0f), "82 01 04 4B 00 00 00 00 FF"},
        {"red 0.5", visca_red_gain(0.5f), "82 01 04 43 00 00 07 0F FF"},
        {"blue 1", visca_blue_gain(1.0f), "82 01 04 44 00 00 0F 0F FF"},
        {"store 12", visca_memory(memory_action::store, 12), "82 01 04 3F 01 0C FF"},
        {"recall 12", visca_memory(memory_action::recall, 12), "82 01 04 3F 02 0C FF"},
        {"flip on", visca_flip(true), "82 01 04 66 02 FF"},
        {"flip off", visca_flip(false), "82 01 04 66 03 FF"},
        {"tally on", visca_tally(true), "82 01 7E 01 0A 00 02 FF"},
        {"tally off", visca_tally(false), "82 01 7E 01 0A 00 03 FF"},
        {"focus auto", visca_focus_mode(false), "82 01 04 38 02 FF"},
        {"focus manual", visca_focus_mode(true), "82 01 04 38 03 FF"},
        {"white balance auto", visca_white_balance(white_balance_mode::automatic), "82 01 04 35 00 FF"},
        {"white balance indoor", visca_white_balance(white_balance_mode::indoor), "82 01 04 35 01 FF"},
        {"white balance outdoor", visca_white_balance(white_balance_mode::outdoor), "82 01 04 35 02 FF"},
        {"white balance one-push", visca_white_balance(white_balance_mode::one_push), "82 01 04 35 03 FF"},
        {"white balance manual", visca_white_balance(white_balance_mode::manual), "82 01 04 35 05 FF"},
        {"one-push trigger", visca_white_balance(white_balance_mode::one_push_trigger), "82 01 04 10 05 FF"},
        {"exposure auto", visca_ae_mode(false), "82 01 04 39 00 FF"},
        {"exposure manual", visca_ae_mode(true), "82 01 04 39 03 FF"},
    };
    for (const auto& e : table)
        EXPECT_EQ(hex(e.message), e.bytes) << e.what;
}

TEST(visca_encoder, bounds_every_argument_so_no_terminator_lands_inside)
{
    EXPECT_EQ(hex(visca_pan_tilt_drive(1e30f, -1e30f)), "82 01 06 01 18 18 01 02 FF");
    EXPECT_EQ(hex(visca_pan_tilt_drive(NAN, NAN)), "82 01 06 01 00 00 03 03 FF");
    EXPECT_EQ(hex(visca_zoom(-INFINITY)), "82 01 04 07 37 FF");
    EXPECT_EQ(hex(visca_zoom_direct(-0.5f)), "82 01 04 47 00 00 00 00 FF");
    EXPECT_EQ(hex(visca_zoom_direct(7.0f)), "82 01 04 47 04 00 00 00 FF");
    EXPECT_EQ(hex(visca_focus_direct(2.0f)), "82 01 04 48 0F 00 00 00 FF");
    EXPECT_EQ(hex(visca_iris(5.0f)), "82 01 04 4B 00 00 01 01 FF");
    EXPECT_EQ(hex(visca_red_gain(-1.0f)), "82 01 04 43 00 00 00 00 FF");
    EXPECT_EQ(hex(visca_memory(memory_action::store, 255)), "82 01 04 3F 01 7F FF");
}

}   // namespace
