#include "sim/camera/visca_camera.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace virtual_camera;
using namespace std::chrono_literals;

bytes parse(const std::string& text)
{
    bytes out;
    for (size_t i = 0; i + 1 < text.size() + 1; i += 3)
        out.push_back(uint8_t(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

std::string hex(const bytes& b)
{
    std::string out;
    char byte[4];
    for (size_t i = 0; i < b.size(); ++i) {
        std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", b[i]);
        out += byte;
    }
    return out;
}

std::vector<std::string> hex(const std::vector<bytes>& replies)
{
    std::vector<std::string> out;
    for (const auto& r : replies)
        out.push_back(hex(r));
    return out;
}

using lines = std::vector<std::string>;
const std::string net = "01 A8 05 07 00 00 01 FE ";   // a controller's tag
const std::string own = "0F A0 A0 A0 05 05 05 05 ";   // the service's tag

class camera_test : public ::testing::Test {
protected:
    lines send(const std::string& message, duration at = 0ms) { return hex(camera.receive(parse(message), at)); }
    lines due(duration at) { return hex(camera.complete_due(at)); }

    visca_camera camera;
};

TEST_F(camera_test, answers_behind_the_tag_as_the_addressed_camera)
{
    EXPECT_EQ(send(net + "81 01 06 01 0C 0C 01 03 FF"), (lines{net + "90 41 FF", net + "90 51 FF"}));
    EXPECT_EQ(send(own + "82 01 04 07 00 FF"), (lines{own + "A0 41 FF", own + "A0 51 FF"}));
    EXPECT_EQ(send(own + "87 01 04 07 00 FF"), (lines{own + "F0 41 FF", own + "F0 51 FF"}));
    EXPECT_EQ(camera.state_at(0ms).pan_drive, 12);
    EXPECT_EQ(camera.state_at(0ms).tilt_drive, 0);
    EXPECT_NEAR(camera.state_at(1s).pan, 12 * 50, 1);
}

TEST_F(camera_test, completes_moves_and_recalls_after_they_take_their_time)
{
    EXPECT_EQ(send(own + "82 01 04 47 04 00 00 00 FF"), (lines{own + "A0 41 FF"}));
    ASSERT_TRUE(camera.next_completion());
    EXPECT_EQ(*camera.next_completion(), 2048ms + 0ns);
    EXPECT_EQ(due(2s), lines{});
    EXPECT_EQ(due(2100ms), (lines{own + "A0 51 FF"}));
    EXPECT_EQ(camera.state_at(2100ms).zoom, zoom_tele);

    EXPECT_EQ(send(own + "82 01 04 3F 01 0C FF", 3s), (lines{own + "A0 41 FF", own + "A0 51 FF"}));
    EXPECT_EQ(send(own + "82 01 04 47 00 00 00 00 FF", 3s), (lines{own + "A0 41 FF"}));
    EXPECT_EQ(due(6s).size(), 1u);
    EXPECT_EQ(send(own + "82 01 04 3F 02 0C FF", 6s), (lines{own + "A0 41 FF"}));
    EXPECT_EQ(due(6100ms), lines{});   // a recall takes at least 300 ms
    EXPECT_EQ(due(9s), (lines{own + "A0 51 FF"}));
    EXPECT_EQ(camera.state_at(9s).zoom, zoom_tele);
}

TEST_F(camera_test, two_sockets_then_buffer_full_and_cancel)
{
    EXPECT_EQ(send(net + "81 01 04 47 04 00 00 00 FF"), (lines{net + "90 41 FF"}));
    EXPECT_EQ(send(net + "81 01 06 02 01 01 00 09 09 00 00 00 00 00 FF"), (lines{net + "90 42 FF"}));
    EXPECT_EQ(send(net + "81 01 04 47 00 00 00 00 FF"), (lines{net + "90 60 03 FF"}));
    EXPECT_EQ(send(net + "81 22 FF"), (lines{net + "90 62 04 FF"}));
    EXPECT_EQ(send(net + "81 22 FF"), (lines{net + "90 62 05 FF"}));
    EXPECT_EQ(due(10s), (lines{net + "90 51 FF"}));
}

TEST_F(camera_test, answers_inquiries_with_the_state_the_commands_set)
{
    send(own + "82 01 04 35 05 FF");
    send(own + "82 01 04 43 00 00 07 0F FF");
    send(own + "82 01 04 39 03 FF");
    send(own + "82 01 04 4B 00 00 00 0A FF");
    send(own + "82 01 04 66 02 FF");
    send(own + "82 01 7E 01 0A 00 02 FF");
    EXPECT_EQ(send(net + "81 09 04 35 FF"), (lines{net + "90 50 05 FF"}));
    EXPECT_EQ(send(net + "81 09 04 43 FF"), (lines{net + "90 50 00 00 07 0F FF"}));
    EXPECT_EQ(send(net + "81 09 04 39 FF"), (lines{net + "90 50 03 FF"}));
    EXPECT_EQ(send(net + "81 09 04 4B FF"), (lines{net + "90 50 00 00 00 0A FF"}));
    EXPECT_EQ(send(net + "81 09 04 66 FF"), (lines{net + "90 50 02 FF"}));
    EXPECT_EQ(send(net + "81 09 7E 01 0A FF"), (lines{net + "90 50 02 FF"}));
    EXPECT_EQ(send(net + "81 09 04 38 FF"), (lines{net + "90 50 02 FF"}));
    EXPECT_EQ(send(net + "81 09 06 12 FF"), (lines{net + "90 50 00 00 00 00 00 00 00 00 FF"}));
    send(own + "82 01 7E 01 0A 00 03 FF");
    EXPECT_FALSE(camera.state_at(0ms).tally);
}

TEST_F(camera_test, refuses_what_it_cannot_do)
{
    EXPECT_EQ(send(net + "81 01 04 99 00 FF"), (lines{net + "90 60 02 FF"}));          // unknown
    EXPECT_EQ(send(net + "81 01 04 35 09 FF"), (lines{net + "90 60 02 FF"}));          // no such mode
    EXPECT_EQ(send(net + "81 09 04 FF"), (lines{net + "90 60 02 FF"}));                // no such inquiry
    EXPECT_EQ(send(net + "81 01 04 48 08 00 00 00 FF"), (lines{net + "90 61 41 FF"})); // focus is auto
    EXPECT_EQ(send(net + "81 01 04 10 05 FF"), (lines{net + "90 61 41 FF"}));          // not in one-push mode
    EXPECT_EQ(send(net + "81 01 04 43 00 00 07 0F FF"), (lines{net + "90 61 41 FF"})); // gains need manual
    EXPECT_EQ(send(net + "81 01 04 4B 00 00 00 0A FF"), (lines{net + "90 61 41 FF"})); // iris needs manual
    EXPECT_EQ(send(net + "81 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 FF"), (lines{net + "90 60 01 FF"}));
    EXPECT_EQ(send(net + "01 02 FF"), lines{});   // not from a controller
    EXPECT_EQ(send("01 02 03 FF"), lines{});      // no room for a message after the tag
}

TEST(message_framer, takes_eight_tag_bytes_whatever_they_hold_then_up_to_the_terminator)
{
    message_framer framer;
    bytes out;
    const bytes line = parse("0F FF FF FF 05 05 05 05 82 01 04 07 00 FF 01");
    std::vector<bytes> messages;
    for (uint8_t b : line)
        if (framer.add(b, out))
            messages.push_back(out);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(hex(messages[0]), "0F FF FF FF 05 05 05 05 82 01 04 07 00 FF");

    // The 01 after the terminator has begun the next message.
    for (size_t i = 1; i < message_framer::max_length - 1; ++i)
        EXPECT_FALSE(framer.add(0x01, out));
    EXPECT_TRUE(framer.add(0x01, out));   // cut off at the limit
    EXPECT_EQ(out.size(), message_framer::max_length);
}

}  // namespace
