// The camera's serial line, noise and all, as "viscaPTZ" reads it: the
// input is the byte stream, cut into reads of 1 to 64 bytes by a sequence
// the first input byte seeds. Every packet cut is a tagged reply of at most
// 24 bytes, and every datagram the routing makes of one is a well-formed
// VISCA-over-IP reply.
#include <algorithm>
#include <cstdint>

#include "fuzz/require.h"
#include "ptz/packet_splitter.h"
#include "ptz/serial_tag.h"
#include "ptz/visca_bridge.h"

namespace {

void route(const uint8_t* packet, size_t n)
{
    REQUIRE(n > serial_tag::size && n <= packet_splitter::max_packet);
    REQUIRE(well_formed_tag(packet) && packet[n - 1] == 0xFF);
    REQUIRE(std::find(packet + serial_tag::size, packet + n - 1, 0xFF) == packet + n - 1);
    const reply_route to = route_reply(packet, n);
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
    uint32_t cut = data[0] | 1u;
    packet_splitter splitter;
    for (size_t at = 1; at < size;) {
        cut = cut * 1103515245u + 12345u;
        const size_t n = std::min(size - at, size_t(1 + (cut >> 16) % 64));
        splitter.feed(data + at, long(n), route);
        REQUIRE(splitter.pending_size() <= packet_splitter::max_packet);
        at += n;
    }
    return 0;
}
