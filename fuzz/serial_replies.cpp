// The camera's serial line, as "viscaPTZ" reads it, in two ways from one
// input. Byte 0 gives the count of read sizes that follow it; the rest is
// the line.
//
// As raw bytes, noise and all, with the two tags its first 16 bytes hold
// awaited: every packet cut is at most 24 bytes, starts with an awaited tag
// and is handed on with that tag's sender, and every datagram the routing
// makes of one is a well-formed VISCA-over-IP reply.
//
// As the description of a clean line (tests/ptz/reference/differential.h):
// the program cuts and routes exactly the reference's packets, byte for
// byte, but for the declared mends.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/require.h"
#include "ptz/packet_splitter.h"
#include "ptz/serial_tag.h"
#include "ptz/visca_bridge.h"
#include "tests/ptz/reference/differential.h"

namespace {

struct awaited {
    serial_tag tag;
    packet_splitter::address sender;
};

void route(const uint8_t* packet, size_t n, const packet_splitter::address& sender, const awaited* tags, size_t count)
{
    REQUIRE(n > serial_tag::size && n <= packet_splitter::max_packet);
    REQUIRE(packet[n - 1] == 0xFF);
    REQUIRE(std::find(packet + serial_tag::size, packet + n - 1, 0xFF) == packet + n - 1);
    bool known = is_service_tag(packet);
    for (size_t i = 0; i < count; ++i)
        known =
            known || (std::memcmp(tags[i].tag.bytes.data(), packet, serial_tag::size) == 0 && tags[i].sender == sender);
    REQUIRE(known);
    const reply_route to = route_reply(packet, n, sender);
    if (to == reply_route::drop)
        return;
    REQUIRE(!is_service_tag(packet));
    uint8_t datagram[reply_datagram_capacity];
    const size_t size = make_reply_datagram(packet, n, datagram);
    REQUIRE(size == n && datagram[0] == 0x01 && datagram[1] == 0x11);
    REQUIRE(size_t(datagram[2] << 8 | datagram[3]) == n - serial_tag::size);
    const uint8_t header = datagram[8];
    REQUIRE(to == reply_route::network ? header == 0x90 : header == 0xA0);
    const uint8_t kind = datagram[9] >> 4;
    REQUIRE(kind >= 4 && kind <= 6);
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t cut_count = std::min(size_t(data[0] % 32), size - 1);
    const uint8_t* cuts = data + 1;
    const uint8_t* line = cuts + cut_count;
    const size_t length = size - 1 - cut_count;

    const auto answers = differential::clean_line(line, length);
    const std::string difference = differential::compare_line(answers, cuts, cut_count);
    if (!difference.empty())
        std::fprintf(stderr, "%s\n", difference.c_str());
    REQUIRE(difference.empty());

    awaited tags[2] = {};
    const auto now = packet_splitter::clock::time_point{} + std::chrono::hours(1);
    packet_splitter splitter;
    for (size_t i = 0; i < 2 && (i + 1) * serial_tag::size <= length; ++i) {
        std::memcpy(tags[i].tag.bytes.data(), line + i * serial_tag::size, serial_tag::size);
        tags[i].sender = {10, line[i * serial_tag::size + 1], line[i * serial_tag::size + 2], uint8_t(i)};
        splitter.expect(tags[i].tag, tags[i].sender, now);
    }
    size_t cut = 0;
    for (size_t at = 0; at < length;) {
        const size_t n = cut_count ? std::min(length - at, size_t(1 + cuts[cut++ % cut_count] % 64)) : length - at;
        splitter.feed(line + at, long(n), now,
                      [&](const uint8_t* packet, size_t packet_size, const packet_splitter::address& sender) {
                          route(packet, packet_size, sender, tags, 2);
                      });
        REQUIRE(splitter.pending_size() <= packet_splitter::max_packet);
        at += n;
    }
    return 0;
}
