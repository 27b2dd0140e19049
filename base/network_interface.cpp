#include "base/network_interface.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstring>

#include "base/file_descriptor.h"

namespace {

// The interface request for name: the name copied with the kernel's limit,
// the rest zeroed.
ifreq request_for(const char* name)
{
    ifreq request{};
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    return request;
}

std::optional<std::array<uint8_t, 4>> ipv4_query(int fd, unsigned long request_code, const char* name)
{
    ifreq request = request_for(name);
    request.ifr_addr.sa_family = AF_INET;
    if (ioctl(fd, request_code, &request) != 0)
        return std::nullopt;
    sockaddr_in ipv4{};
    std::memcpy(&ipv4, &request.ifr_addr, sizeof ipv4);
    std::array<uint8_t, 4> octets{};
    std::memcpy(octets.data(), &ipv4.sin_addr.s_addr, 4);
    return octets;
}

}   // namespace

interface_addresses query_interface(const char* name)
{
    interface_addresses result;
    const file_descriptor fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return result;
    result.queried = true;

    ifreq request = request_for(name);
    if (ioctl(fd.get(), SIOCGIFHWADDR, &request) == 0) {
        std::array<uint8_t, 6> mac{};
        std::memcpy(mac.data(), request.ifr_hwaddr.sa_data, 6);
        result.mac = mac;
    }
    result.address = ipv4_query(fd.get(), SIOCGIFADDR, name);
    result.netmask = ipv4_query(fd.get(), SIOCGIFNETMASK, name);
    return result;
}
