// The 8-byte tag in front of every VISCA message on the serial line, and in
// front of every reply the camera sends back:
//
//   byte 0     flags: bit 3..0 set when sequence byte 4..7 was 0xFF (and is
//              sent as 0xFE), so the tag holds no terminator there
//   bytes 1-3  origin: octets 2, 3 and 4 of the IPv4 address of the sender
//   bytes 4-7  the VISCA-over-IP sequence number, big-endian, 0xFF as 0xFE
//
// The replies are routed by it (ptz/visca_bridge.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

struct serial_tag {
    static constexpr size_t size = 8;
    std::array<uint8_t, size> bytes{};
};

// The tag of the service's own commands (the metadata queue and the tally).
constexpr serial_tag service_tag{{0x0F, 0xA0, 0xA0, 0xA0, 0x05, 0x05, 0x05, 0x05}};

// The tag for a command with this sequence number (big-endian bytes) from
// sender (octets in network order, first octet first).
serial_tag make_serial_tag(const uint8_t* sequence, const std::array<uint8_t, 4>& sender);

// The sequence number (big-endian bytes) that a tag carries, 0xFF restored
// where its flag bit is set.
std::array<uint8_t, 4> tagged_sequence(const uint8_t* tag);

// Whether the 8 bytes at tag are the service's own tag or could have been
// made by make_serial_tag: flags 0x00 to 0x0F, no 0xFF in the sequence
// number, and 0xFE wherever a flag says a 0xFF was replaced. The origin
// bytes may hold anything, 0xFF included.
bool well_formed_tag(const uint8_t* tag);

// The service's own tag is the one no forwarded command can carry (its
// flags claim replaced bytes that are not 0xFE).
bool is_service_tag(const uint8_t* tag);
