// The bridge against its reference (tests/ptz/reference/): the examples of
// the bridge's design, real cameras' answers, random clean lines cut
// into random reads and random datagrams. Each comparison accepts only the
// departures that reference/README.md declares.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "tests/ptz/hex.h"
#include "tests/ptz/reference/bridge_reference.h"
#include "tests/ptz/reference/differential.h"

namespace {

using reference::bytes;
using reference::datagram;

bytes joined(const bytes& a, const bytes& b)
{
    bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

TEST(bridge_reference, gives_the_bytes_of_the_design_s_examples)
{
    // 192.168.5.7 sends 00 00 01 FF to the device at 192.168.5.20.
    const bytes command = {0x01, 0x00, 0x00, 0x05, 0x00, 0x00, 0x01, 0xFF, 0x81, 0x09, 0x04, 0x00, 0xFF};
    const auto outcome = reference::serve_command(command.data(), command.size(), {192, 168, 5, 7}, false);
    EXPECT_EQ(hex(outcome.serial), "01 A8 05 07 00 00 01 FE 81 09 04 00 FF");
    const bytes reply = {0x01, 0xA8, 0x05, 0x07, 0x00, 0x00, 0x01, 0xFE, 0x90, 0x41, 0xFF};
    const auto routed = reference::route_packet(reply, {192, 168, 5, 20});
    ASSERT_EQ(routed.size(), 1u);
    EXPECT_EQ((routed[0].to), (reference::ipv4{192, 168, 5, 7}));
    EXPECT_EQ(routed[0].port, 52381);
    EXPECT_EQ(hex(routed[0].payload), "01 11 00 03 00 00 01 FF 90 41 FF");
    // 10.0.0.9 talking to 192.168.5.20: the reference answers 192.0.0.9.
    const bytes far = {0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x01, 0x90, 0x41, 0xFF};
    EXPECT_EQ((reference::route_packet(far, {192, 168, 5, 20})[0].to), (reference::ipv4{192, 0, 0, 9}));
    // A reply arriving in three reads is one packet; 300 bytes without a
    // terminator are discarded.
    reference::packet_splitter s;
    EXPECT_TRUE(s.feed(reply.data(), 3).empty());
    EXPECT_TRUE(s.feed(reply.data() + 3, 6).empty());
    EXPECT_EQ(s.feed(reply.data() + 9, 2), std::vector<bytes>{reply});
    const bytes burst(300, 0x00);
    EXPECT_TRUE(s.feed(burst.data(), long(burst.size())).empty());
    EXPECT_EQ(s.feed(reply.data(), long(reply.size())), std::vector<bytes>{reply});

    const std::string enquiry = "\x02"
                                "ENQ:network\xFF\x03";
    const auto answer = reference::serve_discovery(reinterpret_cast<const uint8_t*>(enquiry.data()), enquiry.size(),
                                                   40000, differential::device(), "camera-room-3");
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(std::string(answer[0].payload.begin(), answer[0].payload.end()),
              "\x02MAC:02-00-c0-a8-05-14\xFFINFO:network\xFFMODEL:DIZIZI\xFFSOFTVERSION:1.5.0\xFF"
              "IPADR:192.168.5.20\xFFMASK:255.255.255.0\xFFGATEWAY:192.168.5.1\xFFNAME:camera-r\xFFWRITE:on\xFF\x03");
    EXPECT_EQ(answer[0].port, 40000);
    const uint8_t other[] = {0x41};
    EXPECT_EQ(reference::serve_discovery(other, 1, 40000, differential::device(), "x")[0].payload.size(), 24u);
}

TEST(bridge_reference, program_routes_the_design_s_examples_and_real_answers_as_the_reference)
{
    const bytes near_tag = {0x01, 0xA8, 0x05, 0x07, 0x00, 0x00, 0x01, 0xFE};
    const bytes far_tag = {0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x01};
    const bytes local_tag = {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x07};
    const reference::ipv4 near{192, 168, 5, 7}, far{10, 0, 0, 9}, local{127, 0, 0, 1};
    std::vector<differential::answer> line = {
        {joined(near_tag, {0x90, 0x41, 0xFF}), near, true},
        {joined(near_tag, {0x90, 0x51, 0xFF}), near, false},
        {joined(far_tag, {0x90, 0x50, 0x00, 0x01, 0x05, 0x80, 0x01, 0x00, 0x02, 0xFF}), far, true},
        {joined(local_tag, {0xA0, 0x50, 0x00, 0x01, 0x80, 0x1D, 0x01, 0x00, 0x02, 0xFF}), local, true},
        {joined(near_tag, {0x90, 0x50, 0x00, 0x01, 0x90, 0x51, 0x01, 0x00, 0x02, 0xFF}), near, true},
        {joined(near_tag,
                {0x90, 0x50, 0xA0, 0x00, 0xC0, 0x00, 0x80, 0x00, 0xF0, 0x00, 0x90, 0x41, 0x00, 0xB0, 0xE0, 0xFF}),
         near, true},
        {joined({0x0F, 0xA0, 0xA0, 0xA0, 0x05, 0x05, 0x05, 0x05}, {0x90, 0x51, 0xFF}), {}, true},
    };
    const uint8_t whole = 0, bytewise = 0;
    EXPECT_EQ(differential::compare_line(line, &whole, 0), "");
    EXPECT_EQ(differential::compare_line(line, &bytewise, 1), "") << "a byte a read";

    const bytes command = {0x01, 0x00, 0x00, 0x05, 0x00, 0x00, 0x01, 0xFF, 0x81, 0x09, 0x04, 0x00, 0xFF};
    EXPECT_EQ(differential::compare_command(command.data(), command.size(), near, false), "");
}

TEST(bridge_reference, program_cuts_and_routes_random_clean_lines_as_the_reference)
{
    const auto seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    std::mt19937 random(seed);
    for (int i = 0; i < 3000; ++i) {
        bytes input(random() % 400), cuts(random() % 20);
        for (auto& b : input)
            b = uint8_t(random());
        for (auto& b : cuts)
            b = uint8_t(random());
        const auto line = differential::clean_line(input.data(), input.size());
        ASSERT_EQ(differential::compare_line(line, cuts.data(), cuts.size()), "") << "seed " << seed << ", line " << i;
    }
}

TEST(bridge_reference, program_serves_random_datagrams_as_the_reference_but_for_the_declared_mends)
{
    const auto seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    std::mt19937 random(seed);
    const std::vector<bytes> starts = {
        {0x01, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x01, 0x81},
        {0x01, 0x10, 0x00, 0x05, 0xFF, 0xFF, 0xFF, 0xFF, 0x82},
        {0x02, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x09, 0x01},
        {0x02, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01},
        {0x02, 'E', 'N', 'Q', ':', 'n', 'e', 't', 'w', 'o', 'r', 'k', 0xFF, 0x03},
        {0x02, 'N', 'A', 'K', ':'},
        {0x02, 'M', 'A', 'C', ':', 0xFF, 'I', 'N', 'F', 'O', ':', 'n', 'e', 't', 'w', 'o', 'r', 'k'},
        {},
    };
    const std::vector<reference::ipv4> senders = {{192, 168, 5, 7}, {10, 0, 0, 9}, {127, 0, 0, 1}, {192, 168, 5, 20}};
    for (int i = 0; i < 20000; ++i) {
        bytes d = starts[random() % starts.size()];
        for (size_t k = random() % 24; k > 0; --k)
            d.push_back(uint8_t(random() % 8 == 0 ? 0xFF : random()));
        if (random() % 2 && !d.empty())
            d.back() = 0xFF;
        const auto& sender = senders[random() % senders.size()];
        ASSERT_EQ(differential::compare_command(d.data(), d.size(), sender, false), "") << "seed " << seed;
        ASSERT_EQ(differential::compare_command(d.data(), d.size(), sender, true), "") << "seed " << seed;
        ASSERT_EQ(differential::compare_discovery(d.data(), d.size(), sender, 40000, "studio-b-camera"), "")
            << "seed " << seed;
    }
}

}   // namespace
