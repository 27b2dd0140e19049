// The seam to the socket interface: the only file of the service that
// speaks BSD sockets (the interface queries are base/network_interface.h).
// A udp_socket owns its descriptor and closes it when it goes.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "base/file_descriptor.h"

// An IPv4 address (octets in network order, first octet first) and a port.
struct udp_endpoint {
    std::array<uint8_t, 4> address{};
    uint16_t port = 0;
};

class udp_socket {
public:
    explicit udp_socket(file_descriptor fd) : descriptor(std::move(fd)) {}

    int fd() const { return descriptor.get(); }

    // One datagram, up to n bytes, without waiting; -1 when none.
    ssize_t receive(uint8_t* data, size_t n, udp_endpoint& from);
    ssize_t send_to(const uint8_t* data, size_t n, const udp_endpoint& to);

private:
    file_descriptor descriptor;
};

// A socket bound (when bind is true) to port on every address, with
// broadcast enabled, tied to the network device "eth0". Throws
// std::runtime_error "Cannot open UDP socket!", "Cannot bind UDP socket!",
// "Fail to set broadcast enable!" or "Fail to bind to eth0!".
udp_socket open_udp_socket(uint16_t port, bool bind);

// A socket bound to 127.0.0.1 at port, tied to "lo". Throws
// "Cannot open UDP socket!", "Cannot bind LOOP UDP socket!" or
// "Fail to bind to loopback!".
udp_socket open_loop_socket(uint16_t port);

// Waits up to timeout for any of fds to become readable, setting ready[i]
// for each that did; false on a timeout or an error.
bool wait_readable(std::span<const int> fds, std::span<bool> ready, std::chrono::microseconds timeout);
