#include "ptz/udp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

sockaddr_in to_sockaddr(const udp_endpoint& endpoint)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    std::memcpy(&address.sin_addr.s_addr, endpoint.address.data(), 4);
    address.sin_port = htons(endpoint.port);
    return address;
}

udp_socket datagram_socket()
{
    udp_socket s(file_descriptor(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)));
    if (s.fd() < 0)
        throw std::runtime_error("Cannot open UDP socket!");
    return s;
}

bool bind_to(const udp_socket& s, uint32_t host_order_address, uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(host_order_address);
    address.sin_port = htons(port);
    return bind(s.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool bind_to_device(const udp_socket& s, const char* device, socklen_t length)
{
    return setsockopt(s.fd(), SOL_SOCKET, SO_BINDTODEVICE, device, length) == 0;
}

}   // namespace

ssize_t udp_socket::receive(uint8_t* data, size_t n, udp_endpoint& from)
{
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    const ssize_t got = recvfrom(fd(), data, n, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sender), &length);
    if (got >= 0) {
        std::memcpy(from.address.data(), &sender.sin_addr.s_addr, 4);
        from.port = ntohs(sender.sin_port);
    }
    return got;
}

ssize_t udp_socket::send_to(const uint8_t* data, size_t n, const udp_endpoint& to)
{
    const sockaddr_in address = to_sockaddr(to);
    return sendto(fd(), data, n, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

udp_socket open_udp_socket(uint16_t port, bool bind)
{
    udp_socket s = datagram_socket();
    if (bind && !bind_to(s, INADDR_ANY, port))
        throw std::runtime_error("Cannot bind UDP socket!");
    const int on = 1;
    if (setsockopt(s.fd(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
        throw std::runtime_error("Fail to set broadcast enable!");
    if (!bind_to_device(s, "eth0", 4))
        throw std::runtime_error("Fail to bind to eth0!");
    return s;
}

udp_socket open_loop_socket(uint16_t port)
{
    udp_socket s = datagram_socket();
    if (!bind_to(s, INADDR_LOOPBACK, port))
        throw std::runtime_error("Cannot bind LOOP UDP socket!");
    if (!bind_to_device(s, "lo", 2))
        throw std::runtime_error("Fail to bind to loopback!");
    return s;
}

bool wait_readable(std::span<const int> fds, std::span<bool> ready, std::chrono::microseconds timeout)
{
    fd_set readable;
    FD_ZERO(&readable);
    int highest = -1;
    for (int fd : fds) {
        if (fd >= 0 && fd < FD_SETSIZE) {
            FD_SET(fd, &readable);
            highest = std::max(highest, fd);
        }
    }
    timeval wait{};
    wait.tv_sec = time_t(timeout.count() / 1000000);
    wait.tv_usec = suseconds_t(timeout.count() % 1000000);
    if (select(highest + 1, &readable, nullptr, nullptr, &wait) <= 0)
        return false;
    for (size_t i = 0; i < fds.size() && i < ready.size(); ++i)
        ready[i] = fds[i] >= 0 && fds[i] < FD_SETSIZE && FD_ISSET(fds[i], &readable);
    return true;
}
