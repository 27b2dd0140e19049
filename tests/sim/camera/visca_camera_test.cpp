#include "sim/camera/visca_camera.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    EXPECT_EQ(send(own + "82 09 7E 7E 00 FF", 2100ms),
              (lines{own + "A0 50 04 00 00 00 01 00 0F 00 00 00 00 01 00 FF"}));

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
    EXPECT_EQ(send(net + "81 01 04 99 00 FF"), (lines{net + "90 60 02 FF"}));            // unknown
    EXPECT_EQ(send(net + "81 01 04 35 09 FF"), (lines{net + "90 60 02 FF"}));            // no such mode
    EXPECT_EQ(send(net + "81 09 04 FF"), (lines{net + "90 60 02 FF"}));                  // no such inquiry
    EXPECT_EQ(send(net + "81 01 04 48 08 00 00 00 FF"), (lines{net + "90 61 41 FF"}));   // focus is auto
    EXPECT_EQ(send(net + "81 01 04 10 05 FF"), (lines{net + "90 61 41 FF"}));            // not in one-push mode
    EXPECT_EQ(send(net + "81 01 04 43 00 00 07 0F FF"), (lines{net + "90 61 41 FF"}));   // gains need manual
    EXPECT_EQ(send(net + "81 01 04 4B 00 00 00 0A FF"), (lines{net + "90 61 41 FF"}));   // iris needs manual
    EXPECT_EQ(send(net + "81 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 FF"), (lines{net + "90 60 01 FF"}));
    EXPECT_EQ(send(net + "01 02 FF"), lines{});   // not from a controller
    EXPECT_EQ(send("01 02 03 FF"), lines{});      // no room for a message after the tag
}

// A parameter nibble (0p in the manuals) holding a whole byte fits no
// command; with the power off only the power command is carried out, and
// inquiries are still answered.
TEST_F(camera_test, refuses_bytes_outside_a_pattern_and_everything_but_power_when_off)
{
    EXPECT_EQ(send(net + "81 01 04 47 10 00 00 00 FF"), (lines{net + "90 60 02 FF"}));
    EXPECT_EQ(send(net + "81 01 04 4B 00 00 10 00 FF"), (lines{net + "90 60 02 FF"}));
    EXPECT_EQ(send(net + "81 01 06 04 00 FF"), (lines{net + "90 60 02 FF"}));   // one byte too many
    EXPECT_EQ(send(net + "81 09 04 00 00 FF"), (lines{net + "90 60 02 FF"}));
    EXPECT_EQ(camera.state_at(0ms).zoom, zoom_wide);

    EXPECT_EQ(send(net + "81 01 04 00 03 FF"), (lines{net + "90 41 FF", net + "90 51 FF"}));
    EXPECT_EQ(send(net + "81 01 04 07 23 FF"), (lines{net + "90 61 41 FF"}));
    EXPECT_EQ(send(net + "81 01 04 99 00 FF"), (lines{net + "90 61 41 FF"}));
    EXPECT_EQ(send(net + "81 09 04 00 FF"), (lines{net + "90 50 03 FF"}));
    EXPECT_EQ(send(net + "81 01 04 00 02 FF"), (lines{net + "90 41 FF", net + "90 51 FF"}));
    EXPECT_EQ(send(net + "81 01 04 07 23 FF"), (lines{net + "90 41 FF", net + "90 51 FF"}));
}

TEST_F(camera_test, goes_home_and_resets_after_the_move)
{
    send(net + "81 01 06 02 18 17 00 00 01 00 0F 0F 0F 00 FF");
    due(10s);
    EXPECT_EQ(send(net + "81 01 06 04 FF", 10s), (lines{net + "90 41 FF"}));
    EXPECT_EQ(due(10s), lines{});
    EXPECT_EQ(due(11s), (lines{net + "90 51 FF"}));
    EXPECT_EQ(camera.state_at(11s).pan, 0);
    EXPECT_EQ(camera.state_at(11s).tilt, 0);

    send(net + "81 01 06 01 18 17 01 01 FF", 11s);
    EXPECT_EQ(send(net + "81 01 06 05 FF", 12s), (lines{net + "90 41 FF"}));
    EXPECT_EQ(due(13s), lines{});
    EXPECT_EQ(due(14s), (lines{net + "90 51 FF"}));
    EXPECT_EQ(camera.state_at(14s).pan, 0);
    EXPECT_EQ(camera.state_at(14s).pan_drive, 0);
}

// What a controller polls: set up with some commands, then one inquiry.
struct poll_case {
    std::vector<std::string> setup;
    std::string inquiry;
    std::string answer;
};

TEST_F(camera_test, answers_what_controllers_poll_from_its_state)
{
    const std::string manual = "81 01 04 39 03 FF";
    const poll_case cases[] = {
        {{}, "81 09 04 4A FF", "90 50 00 00 00 0A FF"},
        {{manual, "81 01 04 4A 00 00 01 02 FF"}, "81 09 04 4A FF", "90 50 00 00 01 02 FF"},
        {{"81 01 04 39 0A FF", "81 01 04 0A 03 FF"}, "81 09 04 4A FF", "90 50 00 00 00 09 FF"},
        {{"81 01 04 39 0B FF", "81 01 04 0B 02 FF"}, "81 09 04 4B FF", "90 50 00 00 00 0C FF"},
        {{manual, "81 01 04 0C 02 FF", "81 01 04 0C 02 FF"}, "81 09 04 4C FF", "90 50 00 00 00 03 FF"},
        {{manual, "81 01 04 4C 00 00 00 0F FF", "81 01 04 0C 02 FF"}, "81 09 04 4C FF", "90 50 00 00 00 0F FF"},
        {{manual, "81 01 04 4C 00 00 00 0F FF", "81 01 04 0C 00 FF"}, "81 09 04 4C FF", "90 50 00 00 00 01 FF"},
        {{"81 01 04 39 0D FF", "81 01 04 4D 00 00 01 05 FF"}, "81 09 04 4D FF", "90 50 00 00 01 05 FF"},
        {{}, "81 09 04 3E FF", "90 50 03 FF"},
        {{"81 01 04 3E 02 FF"}, "81 09 04 3E FF", "90 50 02 FF"},
        {{"81 01 04 0E 03 FF"}, "81 09 04 4E FF", "90 50 00 00 00 06 FF"},
        {{"81 01 04 33 02 FF"}, "81 09 04 33 FF", "90 50 02 FF"},
        {{"81 01 04 42 00 00 00 0C FF"}, "81 09 04 42 FF", "90 50 00 00 00 0C FF"},
        {{"81 01 04 42 00 00 00 0C FF", "81 01 04 02 00 FF"}, "81 09 04 42 FF", "90 50 00 00 00 05 FF"},
        {{}, "81 09 04 28 FF", "90 50 01 00 00 00 FF"},
        {{}, "81 09 06 11 FF", "90 50 18 17 FF"},
        {{}, "81 09 04 58 FF", "90 50 02 FF"},
        {{}, "81 09 04 5A FF", "90 50 03 FF"},
        // The block inquiries: lens, camera 1, other, enlargement.
        {{}, "81 09 7E 7E 00 FF", "90 50 00 00 00 00 01 00 0F 00 00 00 00 01 00 FF"},
        {{"81 01 04 38 03 FF", "81 01 04 07 02 FF", "81 01 04 08 03 FF", "81 01 04 47 01 02 03 04 FF"},
         "81 09 7E 7E 00 FF",
         "90 50 00 00 00 00 01 00 0F 00 00 00 00 00 06 FF"},
        {{"81 01 04 35 05 FF", "81 01 04 43 00 00 07 0F FF", manual, "81 01 04 4A 00 00 01 02 FF",
          "81 01 04 4C 00 00 00 05 FF", "81 01 04 3E 02 FF", "81 01 04 0E 02 FF"},
         "81 09 7E 7E 01 FF",
         "90 50 07 0F 08 00 05 05 03 02 12 0B 05 10 08 FF"},
        {{"81 01 04 33 02 FF"}, "81 09 7E 7E 01 FF", "90 50 08 00 08 00 00 05 00 04 0A 0B 01 10 07 FF"},
        {{"81 01 04 61 02 FF", "81 01 04 66 02 FF"},
         "81 09 7E 7E 02 FF",
         "90 50 01 01 00 00 80 00 00 00 00 01 01 00 00 FF"},
        {{}, "81 09 7E 7E 05 FF", "90 50 00 00 00 00 00 00 00 00 00 00 00 00 00 FF"},
    };
    for (const poll_case& c : cases) {
        visca_camera fresh;
        for (const std::string& command : c.setup) {
            const auto replies = hex(fresh.receive(parse(net + command), 0ms));
            ASSERT_FALSE(replies.empty()) << command;
            EXPECT_EQ(replies[0].substr(net.size(), 4), "90 4") << command << ": " << replies[0];
        }
        EXPECT_EQ(hex(fresh.receive(parse(net + c.inquiry), 0ms)), lines{net + c.answer}) << c.inquiry;
    }
}

TEST_F(camera_test, block_inquiries_answer_sixteen_bytes)
{
    for (uint8_t block = 0; block <= 5; ++block) {
        const auto answer = camera.receive(parse(net + "81 09 7E 7E 0" + char('0' + block) + " FF"), 0ms);
        ASSERT_EQ(answer.size(), 1u);
        const bytes v(answer[0].begin() + tag_size, answer[0].end());
        ASSERT_EQ(v.size(), max_visca) << int(block);
        EXPECT_EQ(v[0], 0x90);
        EXPECT_EQ(v[1], 0x50);
        EXPECT_EQ(std::count(v.begin(), v.end(), 0xFF), 1) << int(block);
    }
    EXPECT_EQ(send(net + "81 09 7E 7E 06 FF"), (lines{net + "90 60 02 FF"}));
}

// Real cameras answer some fields with whole bytes, 0x80 and above among
// them; and a show-control system polls these every few seconds.
TEST_F(camera_test, answers_with_whole_bytes_what_real_cameras_do)
{
    EXPECT_EQ(send(net + "81 09 00 02 FF"), (lines{net + "90 50 00 01 05 80 80 1D 02 FF"}));
    EXPECT_EQ(send(net + "81 09 06 44 FF"), (lines{net + "90 50 03 FF"}));
    EXPECT_EQ(send(net + "81 09 04 52 FF"), (lines{net + "90 50 03 FF"}));
    EXPECT_EQ(send(net + "81 09 06 10 FF"), (lines{net + "90 50 80 00 FF"}));
    EXPECT_EQ(send(net + "81 01 06 44 02 FF"), (lines{net + "90 41 FF", net + "90 51 FF"}));
    EXPECT_EQ(send(net + "81 09 06 44 FF"), (lines{net + "90 50 02 FF"}));
    EXPECT_EQ(send(net + "81 01 06 44 04 FF"), (lines{net + "90 60 02 FF"}));

    // The status word: moving while a drive or a move runs, the ends reached.
    send(net + "81 01 06 01 18 17 01 02 FF");
    EXPECT_EQ(send(net + "81 09 06 10 FF", 1s), (lines{net + "90 50 84 00 FF"}));
    EXPECT_EQ(send(net + "81 01 06 01 00 00 03 03 FF", 100s).size(), 2u);
    EXPECT_EQ(send(net + "81 09 06 10 FF", 100s), (lines{net + "90 50 80 09 FF"}));
    send(net + "81 01 06 04 FF", 100s);
    EXPECT_EQ(send(net + "81 09 06 10 FF", 100s), (lines{net + "90 50 84 09 FF"}));
    due(200s);
    EXPECT_EQ(send(net + "81 09 06 10 FF", 200s), (lines{net + "90 50 80 00 FF"}));
}

// Each field of a block inquiry as the block carries it, and the inquiry
// that answers the same value alone.
enum class field_form { nibbles, byte, bit };
enum class answer_form { on_off, byte, setting, position, word };
struct block_field_case {
    int block, at;
    field_form form;
    int size;   // nibbles: data bytes; bit: the bit
    std::string inquiry;
    answer_form answer;
    int scale = 1;   // the block carries the value divided by this
};

int block_value(const bytes& data, const block_field_case& f)
{
    switch (f.form) {
    case field_form::byte: return data[f.at];
    case field_form::bit: return (data[f.at] >> f.size) & 1;
    case field_form::nibbles: break;
    }
    int value = 0;
    for (int i = 0; i < f.size; ++i)
        value = value << 4 | (data[f.at + i] & 0x0F);
    return value;
}

int answer_value(const bytes& data, answer_form form)
{
    switch (form) {
    case answer_form::on_off: return data.at(0) == 0x02 ? 1 : data.at(0) == 0x03 ? 0 : -1;
    case answer_form::byte: return data.at(0);
    case answer_form::setting: return data.at(2) << 4 | data.at(3);
    case answer_form::position: return data.at(0) << 12 | data.at(1) << 8 | data.at(2) << 4 | data.at(3);
    case answer_form::word: return data.at(0) << 8 | data.at(1);
    }
    return -1;
}

TEST(visca_camera, each_block_field_is_what_its_own_inquiry_answers)
{
    using enum field_form;
    using a = answer_form;
    const block_field_case fields[] = {
        {0, 0, nibbles, 4, "04 47", a::position}, {0, 4, nibbles, 2, "04 28", a::position, 0x100},
        {0, 6, nibbles, 4, "04 48", a::position}, {0, 11, bit, 0, "04 38", a::on_off},
        {0, 11, bit, 1, "04 06", a::on_off},      {1, 0, nibbles, 2, "04 43", a::setting},
        {1, 2, nibbles, 2, "04 44", a::setting},  {1, 4, byte, 0, "04 35", a::byte},
        {1, 5, byte, 0, "04 42", a::setting},     {1, 6, byte, 0, "04 39", a::byte},
        {1, 7, bit, 0, "04 5A", a::on_off},       {1, 7, bit, 1, "04 3E", a::on_off},
        {1, 7, bit, 2, "04 33", a::on_off},       {1, 8, byte, 0, "04 4A", a::setting},
        {1, 9, byte, 0, "04 4B", a::setting},     {1, 10, byte, 0, "04 4C", a::setting},
        {1, 11, byte, 0, "04 4D", a::setting},    {1, 12, byte, 0, "04 4E", a::setting},
        {2, 0, bit, 0, "04 00", a::on_off},       {2, 1, bit, 0, "04 61", a::on_off},
        {2, 1, bit, 1, "04 62", a::on_off},       {2, 2, byte, 0, "04 63", a::byte},
        {2, 3, bit, 0, "04 75", a::on_off},       {2, 6, nibbles, 4, "04 22", a::position},
        {2, 10, bit, 0, "04 66", a::on_off},      {2, 10, bit, 1, "06 44", a::on_off},
        {3, 0, nibbles, 2, "04 46", a::setting},  {3, 4, nibbles, 4, "04 27", a::position},
        {4, 0, nibbles, 2, "04 49", a::setting},  {4, 2, nibbles, 2, "04 4F", a::setting},
        {4, 4, nibbles, 2, "04 53", a::byte},     {4, 6, byte, 0, "04 5B", a::byte},
        {4, 7, bit, 0, "04 5E", a::on_off},       {4, 7, bit, 1, "04 52", a::on_off},
        {4, 7, bit, 2, "04 3D", a::on_off},
    };
    // The camera out of the box, then with settings that change most fields.
    const std::vector<std::string> setups[] = {
        {},
        {"81 01 04 47 03 01 02 04 FF", "81 01 04 38 03 FF", "81 01 04 48 0A 0B 0C 0D FF", "81 01 04 35 05 FF",
         "81 01 04 43 00 00 0E 01 FF", "81 01 04 44 00 00 09 0C FF", "81 01 04 39 03 FF", "81 01 04 4A 00 00 01 15 FF",
         "81 01 04 4B 00 00 01 01 FF", "81 01 04 4C 00 00 00 0F FF", "81 01 04 3E 02 FF", "81 01 04 33 02 FF",
         "81 01 04 0E 02 FF", "81 01 04 42 00 00 00 0F FF", "81 01 04 61 02 FF", "81 01 04 66 02 FF",
         "81 01 06 44 02 FF", "81 01 04 39 0D FF", "81 01 04 4D 00 00 01 0E FF"},
    };
    int setup_number = 0;
    for (const auto& setup : setups) {
        visca_camera camera;
        for (const std::string& command : setup)
            camera.receive(parse(net + command), 10s);
        const auto data = [&](const std::string& inquiry) {
            const auto replies = camera.receive(parse(net + inquiry), 20s);
            EXPECT_EQ(replies.size(), 1u) << inquiry;
            EXPECT_EQ(replies[0][tag_size + 1], 0x50) << inquiry << ": " << hex(replies[0]);
            return bytes(replies[0].begin() + tag_size + 2, replies[0].end() - 1);
        };
        for (const block_field_case& f : fields) {
            const bytes block = data("81 09 7E 7E 0" + std::to_string(f.block) + " FF");
            const bytes alone = data("81 09 " + f.inquiry + " FF");
            EXPECT_EQ(block_value(block, f), answer_value(alone, f.answer) / f.scale)
                << "setup " << setup_number << ", block " << f.block << " byte " << f.at << ": " << hex(block)
                << ", inquiry " << f.inquiry << ": " << hex(alone);
        }
        ++setup_number;
    }
}

TEST_F(camera_test, refuses_exposure_settings_its_mode_keeps)
{
    EXPECT_EQ(send(net + "81 01 04 4A 00 00 01 02 FF"), (lines{net + "90 61 41 FF"}));   // shutter in auto
    EXPECT_EQ(send(net + "81 01 04 0C 02 FF"), (lines{net + "90 61 41 FF"}));            // gain in auto
    EXPECT_EQ(send(net + "81 01 04 0D 02 FF"), (lines{net + "90 61 41 FF"}));            // bright in auto
    send(net + "81 01 04 39 0A FF");
    EXPECT_EQ(send(net + "81 01 04 0B 02 FF"), (lines{net + "90 61 41 FF"}));            // iris in shutter priority
    EXPECT_EQ(send(net + "81 01 04 4A 00 00 01 06 FF"), (lines{net + "90 60 02 FF"}));   // past the fastest
    EXPECT_EQ(send(net + "81 01 04 0A 04 FF"), (lines{net + "90 60 02 FF"}));            // no such step
    EXPECT_EQ(send(net + "81 01 04 33 04 FF"), (lines{net + "90 60 02 FF"}));
    EXPECT_EQ(camera.state_at(0ms).shutter, camera_state{}.shutter);
    EXPECT_EQ(camera.state_at(0ms).iris, camera_state{}.iris);
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

}   // namespace
