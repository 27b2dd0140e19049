// A datagram from anyone, as "viscaPTZ" takes it on the VISCA socket
// (52381), the loop socket (52385) or the discovery socket (52380).
// The first input byte picks the socket and the sender's last octet; the
// rest is the datagram, cut at the 1000-byte receive buffer.
//
// Held: the serial bytes and the datagrams are the reference's
// (tests/ptz/reference/), but for the declared mends; what is forwarded is one tagged VISCA message for the socket's
// camera, whose reply the camera would send behind the same tag is routed
// back to the sender with its sequence number; acknowledgements are the
// control acknowledgement; the responder's own answers are never answered.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/require.h"
#include "ptz/serial_tag.h"
#include "ptz/visca_bridge.h"
#include "tests/ptz/reference/differential.h"

namespace {

constexpr size_t receive_size = 1000;

network_identity device()
{
    network_identity id;
    id.ip_address = {192, 168, 5, 20};
    id.netmask = {255, 255, 255, 0};
    id.gateway = {192, 168, 5, 1};
    id.mac_address = {0x02, 0x00, 0xC0, 0xA8, 0x05, 0x14};
    std::strcpy(id.version, "1.5.0");
    return id;
}

void command(const uint8_t* datagram, size_t n, bool local, uint8_t last_octet)
{
    const uint8_t camera = local ? 0x82 : 0x81;
    const std::array<uint8_t, 4> sender =
        local ? std::array<uint8_t, 4>{127, 0, 0, 1} : std::array<uint8_t, 4>{192, 168, 5, last_octet};
    uint8_t buffer[receive_size];
    std::memcpy(buffer, datagram, n);
    switch (classify_command(buffer, n, camera)) {
    case command_action::ignore: return;
    case command_action::acknowledge: {
        uint8_t ack[control_ack_size];
        REQUIRE(make_control_ack(ack) == control_ack_size);
        return;
    }
    case command_action::forward: break;
    }
    tag_command(buffer, sender);
    // On the line: a tag, then one VISCA message for this camera.
    REQUIRE(n > serial_tag::size && n <= packet_splitter::max_packet);
    REQUIRE(well_formed_tag(buffer) && !is_service_tag(buffer));
    REQUIRE(buffer[serial_tag::size] == camera && buffer[n - 1] == 0xFF);
    REQUIRE(std::find(buffer + serial_tag::size, buffer + n - 1, 0xFF) == buffer + n - 1);

    // The camera's acknowledgement behind that tag goes back to the sender
    // with the sequence number it sent.
    uint8_t reply[serial_tag::size + 3];
    std::memcpy(reply, buffer, serial_tag::size);
    reply[8] = uint8_t(camera + 0x0F);   // 81 -> 90, 82 -> 91
    if (local)
        reply[8] = 0xA0;
    reply[9] = 0x41;
    reply[10] = 0xFF;
    REQUIRE(route_reply(reply, sizeof reply, sender) == (local ? reply_route::loop : reply_route::network));
    uint8_t out[reply_datagram_capacity];
    REQUIRE(make_reply_datagram(reply, sizeof reply, out) == sizeof reply);
    REQUIRE(std::memcmp(out + 4, datagram + 4, 4) == 0);
}

void discovery(const uint8_t* datagram, size_t n)
{
    const network_identity id = device();
    uint8_t out[network_reply_capacity];
    switch (answer_for(datagram, n)) {
    case settings_answer::none: return;
    case settings_answer::reply: {
        // The host name, read at reply time, is whatever the datagram says.
        char host_name[sizeof id.host_name] = {};
        std::memcpy(host_name, datagram, std::min(n, sizeof host_name - 1));
        const size_t size = make_network_reply(id, host_name, out);
        REQUIRE(size <= network_reply_capacity && out[0] == 0x02 && out[size - 1] == 0x03);
        REQUIRE(answer_for(out, size) == settings_answer::none);
        return;
    }
    case settings_answer::nak: {
        const size_t size = make_nak_reply(id, out);
        REQUIRE(size == nak_reply_size);
        REQUIRE(answer_for(out, size) == settings_answer::none);
        return;
    }
    }
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t pick = data[0];
    const uint8_t* datagram = data + 1;
    const size_t n = std::min(size - 1, receive_size);
    // Now and then from the device's own address, which is never served.
    const std::array<uint8_t, 4> sender{192, 168, 5, uint8_t(pick % 11 == 0 ? 20 : pick)};
    std::string difference;
    switch (pick % 3) {
    case 0:
        command(datagram, n, false, pick);
        difference = differential::compare_command(datagram, n, sender, false);
        break;
    case 1:
        command(datagram, n, true, pick);
        difference = differential::compare_command(datagram, n, {127, 0, 0, 1}, true);
        break;
    default:
        discovery(datagram, n);
        difference = differential::compare_discovery(datagram, n, sender, uint16_t(40000 + pick), "studio-b-camera");
        break;
    }
    if (!difference.empty())
        std::fprintf(stderr, "%s\n", difference.c_str());
    REQUIRE(difference.empty());
    return 0;
}
