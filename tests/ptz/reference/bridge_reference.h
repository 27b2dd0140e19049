// The bridge's byte paths written out plainly, step by step, as their
// design states them: the serial-line splitter and the reply routing, the
// checks and tagging of VISCA-over-IP datagrams, and the network-settings
// answers. Never linked into the program; the differential tests and the
// fuzzers compare the program's bytes with these (README.md lists where the
// program departs on purpose).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace reference {

using bytes = std::vector<uint8_t>;
using ipv4 = std::array<uint8_t, 4>;

// pending bytes up to 200, complete packets taken out after each read.
class packet_splitter {
public:
    static constexpr size_t limit = 200;
    // The packets that n bytes complete, oldest first. The four-slot ring
    // of the design is taken out after every read; how many packets
    // one read may complete is left open there, so none is dropped here.
    std::vector<bytes> feed(const uint8_t* data, long n);

private:
    bytes pending;
};

// A datagram the bridge sends.
struct datagram {
    enum class socket { reply, loop, discovery } from = socket::reply;
    ipv4 to{};
    uint16_t port = 0;
    bytes payload;
    bool operator==(const datagram&) const = default;
};

// What a packet taken from the splitter becomes: no datagram, or one.
// device is the first octet's source. A packet longer than the 68-byte
// reply buffer is not sent (left open by the design).
std::vector<datagram> route_packet(const bytes& packet, const ipv4& device);

// What a datagram on the VISCA socket (loop false) or the loop socket
// (loop true) from sender makes: bytes on the serial line, datagrams out.
struct command_outcome {
    bytes serial;
    std::vector<datagram> sent;
    bool operator==(const command_outcome&) const = default;
};
command_outcome serve_command(const uint8_t* data, size_t n, const ipv4& sender, bool loop);

struct identity {
    std::array<uint8_t, 6> mac{};
    ipv4 address{};
    ipv4 netmask{};
    std::string version;
};

// What a datagram on the discovery socket from port makes, with the host
// name read at that moment.
std::vector<datagram> serve_discovery(const uint8_t* data, size_t n, uint16_t port, const identity& device,
                                      const std::string& host_name);

}   // namespace reference
