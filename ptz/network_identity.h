// The address data of "eth0" that the network-settings reply carries,
// read once when the ptz service is made.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

struct network_identity {
    char host_name[100] = {};              // NUL-terminated
    std::array<uint8_t, 4> ip_address{};   // octets in network order, first octet first
    std::array<uint8_t, 4> netmask{};
    std::array<uint8_t, 4> gateway{};   // address AND mask, last octet 1
    std::array<uint8_t, 6> mac_address{};
    char version[22] = {};   // NUL-terminated, at most 21 characters
};

// Fills the record for "eth0" and the given version text, logging each
// query that fails (level > 1) and the result (level > 3).
network_identity read_network_identity(const char* version);

// The gateway a network-settings reply announces: not read from the routing
// table but derived, the first three octets of address AND mask and 1.
std::array<uint8_t, 4> derived_gateway(const std::array<uint8_t, 4>& address, const std::array<uint8_t, 4>& netmask);

// The system's host name, NUL-terminated within size bytes.
void read_host_name(char* name, size_t size);
