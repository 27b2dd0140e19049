// The program's bridge and the reference side by side: the same input to
// both, and the program's bytes compared with the reference's as mended by
// the departures README.md declares (each mend below names its entry).
// Shared by the differential tests and the fuzz target visca_datagrams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/ptz/reference/bridge_reference.h"

namespace differential {

using reference::bytes;
using reference::ipv4;

// The device the comparisons run on: 192.168.5.20/24.
reference::identity device();

// A camera's answer on a clean line: the tag of a command the bridge wrote
// (no 0xFF in it), then header x0, kind 4y/5y/6y, data bytes 0x00-0xFE,
// 0xFF; at most 16 bytes of VISCA.
struct answer {
    bytes packet;
    ipv4 sender;   // who sent the command, as the bridge received it
    bool first;    // the command's first answer: the bridge wrote it before
};

// The clean line a fuzz input describes: up to 32 commands from controllers on and
// off the device's subnet, from local processes and from the service, each
// answered like a camera answers (an acknowledgement then a completion, or
// the completion or an error alone), with data bytes from the input.
std::vector<answer> clean_line(const uint8_t* data, size_t size);

// Feeds the answers to the program's splitter and routing and to the
// reference's in reads whose sizes come from cuts, and returns "" when
// the program sends exactly the reference's datagrams, as mended, else
// what differs.
std::string compare_line(const std::vector<answer>& answers, const uint8_t* cuts, size_t cut_count);

// One datagram from sender on the VISCA socket (loop false) or the loop
// socket: "" when the program's serial bytes and datagrams are the
// reference's as mended.
std::string compare_command(const uint8_t* data, size_t n, const ipv4& sender, bool loop);

// One datagram on the discovery socket, answered within the budget.
std::string compare_discovery(const uint8_t* data, size_t n, const ipv4& sender, uint16_t port,
                              const std::string& host_name);

}   // namespace differential
