// The interface queries of the program: what the kernel says of one network
// device (its hardware address, IPv4 address and netmask). The NDI sender's
// capabilities and the network-settings reply both describe "eth0" from it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

// What the queries of one network device gave; a query that failed leaves
// its field empty.
struct interface_addresses {
    bool queried = false;   // false: no socket for the queries
    std::optional<std::array<uint8_t, 6>> mac;
    std::optional<std::array<uint8_t, 4>> address;   // octets in network order, first octet first
    std::optional<std::array<uint8_t, 4>> netmask;
};
interface_addresses query_interface(const char* name);
