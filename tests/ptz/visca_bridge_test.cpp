#include "ptz/visca_bridge.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ptz/serial_tag.h"
#include "tests/ptz/hex.h"

namespace {

using bytes = std::vector<uint8_t>;

network_identity device()
{
    network_identity id;
    id.ip_address = {192, 168, 5, 20};
    id.netmask = {255, 255, 255, 0};
    id.gateway = derived_gateway(id.ip_address, id.netmask);
    id.mac_address = {0x02, 0x00, 0xC0, 0xA8, 0x05, 0x14};
    std::strcpy(id.version, "1.5.0");
    std::strcpy(id.host_name, "virtualboard");
    return id;
}

TEST(serial_tag, replaces_each_ff_of_the_sequence_number_and_flags_it)
{
    const std::array<uint8_t, 4> sender{192, 168, 5, 7};
    struct row {
        bytes sequence;
        const char* tag;
    };
    for (const row& r : std::vector<row>{
             {{0x00, 0x00, 0x01, 0xFF}, "01 A8 05 07 00 00 01 FE"},
             {{0xFF, 0x00, 0x00, 0x00}, "08 A8 05 07 FE 00 00 00"},
             {{0xFF, 0xFF, 0xFF, 0xFF}, "0F A8 05 07 FE FE FE FE"},
             {{0x12, 0xFE, 0xFF, 0x34}, "02 A8 05 07 12 FE FE 34"},
         }) {
        const serial_tag tag = make_serial_tag(r.sequence.data(), sender);
        EXPECT_EQ(hex(tag.bytes.data(), tag.size), r.tag);
        EXPECT_EQ(hex(tagged_sequence(tag.bytes.data()).data(), 4), hex(r.sequence)) << r.tag;
    }
}

TEST(visca_bridge, tags_a_command_from_the_network_for_the_serial_line)
{
    bytes datagram = {0x01, 0x00, 0x00, 0x09, 0x00, 0x00, 0x01, 0xFF, 0x81,
                      0x01, 0x06, 0x01, 0x0C, 0x0C, 0x01, 0x03, 0xFF};
    ASSERT_EQ(classify_command(datagram.data(), datagram.size(), 0x81), command_action::forward);
    tag_command(datagram.data(), {192, 168, 5, 7});
    EXPECT_EQ(hex(datagram), "01 A8 05 07 00 00 01 FE 81 01 06 01 0C 0C 01 03 FF");
}

TEST(visca_bridge, forwards_only_well_formed_commands_for_its_camera)
{
    const bytes to_1 = {0x01, 0x00, 0x00, 0x05, 0, 0, 0, 1, 0x81, 0x09, 0x04, 0x00, 0xFF};
    bytes to_2 = to_1;
    to_2[8] = 0x82;
    const bytes unterminated = {0x01, 0x00, 0x00, 0x05, 0, 0, 0, 1, 0x81, 0x09, 0x04, 0x00, 0x00};
    bytes other_type = to_1;
    other_type[0] = 0x03;
    const bytes control = {0x02, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0x01};
    const bytes control_reply = {0x02, 0x01, 0x00, 0x01, 0, 0, 0, 0, 0x01};
    const bytes header_only = {0x02, 0x00, 0x00, 0x01, 0, 0, 0, 0};

    EXPECT_EQ(classify_command(to_1.data(), to_1.size(), 0x81), command_action::forward);
    EXPECT_EQ(classify_command(to_2.data(), to_2.size(), 0x81), command_action::ignore);
    EXPECT_EQ(classify_command(to_2.data(), to_2.size(), 0x82), command_action::forward);
    EXPECT_EQ(classify_command(to_1.data(), to_1.size(), 0x82), command_action::ignore);
    EXPECT_EQ(classify_command(unterminated.data(), unterminated.size(), 0x81), command_action::ignore);
    EXPECT_EQ(classify_command(other_type.data(), other_type.size(), 0x81), command_action::ignore);
    EXPECT_EQ(classify_command(control.data(), control.size(), 0x81), command_action::acknowledge);
    // Acknowledging acknowledgements would never end.
    EXPECT_EQ(classify_command(control_reply.data(), control_reply.size(), 0x81), command_action::ignore);
    EXPECT_EQ(classify_command(header_only.data(), header_only.size(), 0x81), command_action::ignore);

    uint8_t ack[control_ack_size];
    EXPECT_EQ(make_control_ack(ack), 9u);
    EXPECT_EQ(hex(ack, 9), "02 01 00 01 00 00 00 00 01");
}

TEST(visca_bridge, forwards_one_visca_message_of_at_most_16_bytes_and_nothing_that_would_slip_the_framing)
{
    const auto action = [](const bytes& visca) {
        bytes d = {0x01, 0x00, 0x00, uint8_t(visca.size()), 0, 0, 0, 1};
        d.insert(d.end(), visca.begin(), visca.end());
        return classify_command(d.data(), d.size(), 0x81);
    };
    bytes longest = {0x81, 0x01};
    longest.resize(15, 0x00);
    longest.push_back(0xFF);
    EXPECT_EQ(action(longest), command_action::forward);
    bytes too_long = longest;
    too_long.insert(too_long.begin() + 2, 0x00);
    EXPECT_EQ(action(too_long), command_action::ignore);
    EXPECT_EQ(action({0x81, 0x01, 0x04, 0x07, 0xFF, 0x81, 0x01, 0x04, 0x07, 0x02, 0xFF}), command_action::ignore);
    EXPECT_EQ(action({0x81, 0xFF, 0xFF}), command_action::ignore);
    bytes payload_of_1400(1400, 0x55);
    payload_of_1400.front() = 0x81;
    payload_of_1400.back() = 0xFF;
    EXPECT_EQ(action(payload_of_1400), command_action::ignore);
    EXPECT_EQ(action({0x81, 0xFF}), command_action::forward);   // the camera answers its syntax error

    // The length field stays uncompared: controllers send it wrong.
    bytes wrong_length = {0x01, 0x00, 0x00, 0x63, 0, 0, 0, 1, 0x81, 0x09, 0x04, 0x00, 0xFF};
    EXPECT_EQ(classify_command(wrong_length.data(), wrong_length.size(), 0x81), command_action::forward);
}

TEST(visca_bridge, routes_replies_to_the_sender_of_their_command)
{
    const bytes network = {0x01, 0xA8, 0x05, 0x07, 0x00, 0x00, 0x01, 0xFE, 0x90, 0x41, 0xFF};
    const bytes local = {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x09, 0xA0, 0x41, 0xFF};
    const bytes own = {0x0F, 0xA0, 0xA0, 0xA0, 0x05, 0x05, 0x05, 0x05, 0xA0, 0x41, 0xFF};
    bytes untagged = network;
    untagged[0] = 0x10;
    const bytes tag_only = {0x01, 0xA8, 0x05, 0x07, 0x00, 0x00, 0x01, 0xFE, 0xFF};
    const std::array<uint8_t, 4> controller{192, 168, 5, 7};
    const std::array<uint8_t, 4> process{127, 0, 0, 1};

    EXPECT_EQ(route_reply(network.data(), network.size(), controller), reply_route::network);
    EXPECT_EQ(route_reply(local.data(), local.size(), process), reply_route::loop);
    EXPECT_EQ(route_reply(own.data(), own.size(), {}), reply_route::drop);
    EXPECT_EQ(route_reply(untagged.data(), untagged.size(), controller), reply_route::drop);
    EXPECT_EQ(route_reply(tag_only.data(), tag_only.size(), controller), reply_route::drop);
    // Camera 1's answer to a local process, camera 2's to a controller at
    // a.0.0.1: neither asked that camera, and neither is sent anywhere.
    EXPECT_EQ(route_reply(network.data(), network.size(), process), reply_route::drop);
    EXPECT_EQ(route_reply(local.data(), local.size(), {10, 0, 0, 1}), reply_route::drop);
}

TEST(visca_bridge, forwards_only_well_formed_replies_and_never_one_behind_the_service_tag)
{
    const auto route = [](const bytes& tag, const bytes& visca) {
        bytes p = tag;
        p.insert(p.end(), visca.begin(), visca.end());
        return route_reply(p.data(), p.size(), {192, 168, 5, 7});
    };
    const bytes tag = {0x01, 0xA8, 0x05, 0x07, 0x00, 0x00, 0x01, 0xFE};
    for (const bytes& reply : std::vector<bytes>{
             {0x90, 0x41, 0xFF},
             {0x90, 0x52, 0xFF},
             {0x90, 0x60, 0x02, 0xFF},
             {0x90, 0x50, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF}})
        EXPECT_EQ(route(tag, reply), reply_route::network) << hex(reply);
    for (const bytes& reply : std::vector<bytes>{
             {0x90, 0x31, 0xFF},   // no acknowledgement, completion or error
             {0x90, 0x71, 0xFF},
             {0x90, 0xFF},
             {0x90, 0x41, 0xFF, 0x90, 0x51, 0xFF},   // two messages
             {0x90, 0x41, 0x00},                     // no terminator
             {0x90, 0x50, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
              0xFF},   // 17 bytes
         })
        EXPECT_EQ(route(tag, reply), reply_route::drop) << hex(reply);
    bytes noise(192, 0x33);
    noise[0] = 0x90;
    noise.back() = 0xFF;
    EXPECT_EQ(route({0x05, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}, noise), reply_route::drop);

    // Behind the service's own tag, whatever the header.
    EXPECT_EQ(route({0x0F, 0xA0, 0xA0, 0xA0, 0x05, 0x05, 0x05, 0x05}, {0x90, 0x41, 0xFF}), reply_route::drop);
    // A tag that no command was given: a flag without its FE, an FF in the sequence.
    EXPECT_EQ(route({0x08, 0xA8, 0x05, 0x07, 0x00, 0x00, 0x01, 0x02}, {0x90, 0x41, 0xFF}), reply_route::drop);
    EXPECT_EQ(route({0x00, 0xA8, 0x05, 0x07, 0x00, 0x00, 0x01, 0xFF}, {0x90, 0x41, 0xFF}), reply_route::drop);
    // A controller at 10.160.160.160 is not the service.
    EXPECT_EQ(route({0x00, 0xA0, 0xA0, 0xA0, 0x00, 0x00, 0x00, 0x03}, {0x90, 0x41, 0xFF}), reply_route::network);
    EXPECT_EQ(route({0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x03}, {0x90, 0x41, 0xFF}), reply_route::network);
}

TEST(visca_bridge, restores_the_sequence_number_in_the_reply_datagram)
{
    const bytes reply = {0x01, 0xA8, 0x05, 0x07, 0x00, 0x00, 0x01, 0xFE, 0x90, 0x41, 0xFF};
    uint8_t datagram[reply_datagram_capacity];
    EXPECT_EQ(make_reply_datagram(reply.data(), reply.size(), datagram), reply.size());
    EXPECT_EQ(hex(datagram, reply.size()), "01 11 00 03 00 00 01 FF 90 41 FF");

    const bytes all = {0x0F, 0xA8, 0x05, 0x07, 0xFE, 0xFE, 0xFE, 0xFE, 0x90, 0x51, 0xFF};
    make_reply_datagram(all.data(), all.size(), datagram);
    EXPECT_EQ(hex(datagram, all.size()), "01 11 00 03 FF FF FF FF 90 51 FF");

    bytes longest(packet_splitter::max_packet, 0x00);
    longest[1] = 0xFF;
    longest[8] = 0x90;
    longest[9] = 0x50;
    longest.back() = 0xFF;
    ASSERT_EQ(route_reply(longest.data(), longest.size(), {192, 255, 0, 0}), reply_route::network);
    EXPECT_EQ(make_reply_datagram(longest.data(), longest.size(), datagram), longest.size());
    EXPECT_EQ(hex(datagram, 8), "01 11 00 10 00 00 00 00");
    EXPECT_EQ(datagram[longest.size() - 1], 0xFF);
}

TEST(network_settings, answers_the_enquiry_with_the_device_and_the_first_eight_of_its_name)
{
    const network_identity id = device();
    uint8_t out[network_reply_capacity];
    const size_t n = make_network_reply(id, id.host_name, out);
    std::string expected = "\x02MAC:02-00-c0-a8-05-14\xFFINFO:network\xFFMODEL:DIZIZI\xFFSOFTVERSION:1.5.0\xFF"
                           "IPADR:192.168.5.20\xFFMASK:255.255.255.0\xFFGATEWAY:192.168.5.1\xFFNAME:virtualb\xFF"
                           "WRITE:on\xFF\x03";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), expected);

    EXPECT_EQ(make_nak_reply(id, out), 24u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 24), "\x02NAK:02-00-c0-a8-05-14\xFF\x03");
}

TEST(network_settings, tells_enquiries_from_answers)
{
    const std::string enquiry = "\x02"
                                "ENQ:network\xFF\x03";
    const auto is_enquiry = [](const std::string& s) {
        return is_network_enquiry(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    const auto is_answer = [](const std::string& s) {
        return is_network_answer(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    EXPECT_TRUE(is_enquiry(enquiry));
    EXPECT_TRUE(is_enquiry("xENQ:network and more"));
    EXPECT_FALSE(is_enquiry("\x02"
                            "ENQ:networ"));
    EXPECT_FALSE(is_enquiry("\x02"
                            "enq:network"));

    const network_identity id = device();
    uint8_t out[network_reply_capacity];
    EXPECT_TRUE(is_answer(std::string(reinterpret_cast<char*>(out), make_network_reply(id, "x", out))));
    EXPECT_TRUE(is_answer(std::string(reinterpret_cast<char*>(out), make_nak_reply(id, out))));
    EXPECT_TRUE(is_answer("\x02"
                          "ACK:02-00-c0-a8-05-07\xFF\x03"));
    EXPECT_FALSE(is_answer(enquiry));
    EXPECT_FALSE(is_answer("\x02MA"));
    EXPECT_FALSE(is_answer("\x02"
                           "ACK"));
    // A controller's network-setting command is a request: it gets the NAK.
    EXPECT_FALSE(is_answer("\x02MAC:02-00-c0-a8-05-14\xFFIPADR:192.168.5.30\xFFMASK:255.255.255.0\xFF"
                           "GATEWAY:192.168.5.1\xFFNAME:cam\xFF\x03"));
}

TEST(network_settings, answers_requests_once_and_answers_never)
{
    const auto answer = [](const std::string& s) {
        return answer_for(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    EXPECT_EQ(answer("\x02"
                     "ENQ:network\xFF\x03"),
              settings_answer::reply);
    EXPECT_EQ(answer("ABC"), settings_answer::nak);
    EXPECT_EQ(answer(std::string(1, '\0')), settings_answer::nak);
    EXPECT_EQ(answer("\x02MAC:02-00-c0-a8-05-14\xFFIPADR:192.168.5.30\xFFNAME:cam\xFF\x03"), settings_answer::nak);
    EXPECT_EQ(answer("\x02MAC:02-00-c0-a8-05-07\xFFINFO:network\xFFMODEL:X\xFF\x03"), settings_answer::none);
    EXPECT_EQ(answer("\x02NAK:02-00-c0-a8-05-07\xFF\x03"), settings_answer::none);
    EXPECT_EQ(answer("\x02"
                     "ACK:02-00-c0-a8-05-07\xFF\x03"),
              settings_answer::none);
    EXPECT_EQ(answer(""), settings_answer::none);
}

TEST(network_identity, derives_the_gateway_from_address_and_mask)
{
    EXPECT_EQ(derived_gateway({192, 168, 1, 20}, {255, 255, 255, 0}), (std::array<uint8_t, 4>{192, 168, 1, 1}));
    EXPECT_EQ(derived_gateway({10, 1, 2, 3}, {255, 255, 0, 0}), (std::array<uint8_t, 4>{10, 1, 0, 1}));
    EXPECT_EQ(derived_gateway({0, 0, 0, 0}, {0, 0, 0, 0}), (std::array<uint8_t, 4>{0, 0, 0, 1}));
}

}   // namespace
