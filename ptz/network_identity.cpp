#include "ptz/network_identity.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/debug_log.h"
#include "base/network_interface.h"

std::array<uint8_t, 4> derived_gateway(const std::array<uint8_t, 4>& address, const std::array<uint8_t, 4>& netmask)
{
    return {uint8_t(address[0] & netmask[0]), uint8_t(address[1] & netmask[1]), uint8_t(address[2] & netmask[2]), 1};
}

void read_host_name(char* name, size_t size)
{
    if (gethostname(name, size) != 0)
        name[0] = '\0';
    name[size - 1] = '\0';
}

network_identity read_network_identity(const char* version)
{
    network_identity id;
    std::snprintf(id.version, sizeof id.version, "%s", version);
    read_host_name(id.host_name, sizeof id.host_name);

    const interface_addresses eth0 = query_interface("eth0");
    if (!eth0.queried) {
        debug_print(1, "Cannot open UDP socket!\n");
        return id;
    }
    if (eth0.mac)
        id.mac_address = *eth0.mac;
    else
        debug_print(1, "Can't get MAC address\n");
    if (eth0.address)
        id.ip_address = *eth0.address;
    else
        debug_print(1, "Can't get IP address\n");
    if (eth0.netmask)
        id.netmask = *eth0.netmask;
    else
        debug_print(1, "Can't get MASK\n");
    id.gateway = derived_gateway(id.ip_address, id.netmask);

    if (debug_enabled(3)) {
        const auto& m = id.mac_address;
        const auto dotted = [](const char* label, const std::array<uint8_t, 4>& a) {
            debug_print(3, "%s = %u.%u.%u.%u\n", label, a[0], a[1], a[2], a[3]);
        };
        debug_print(3, "VERSION = v%s\n", id.version);
        debug_print(3, "NAME = %s\n", id.host_name);
        debug_print(3, "HW MAC = %02x-%02x-%02x-%02x-%02x-%02x\n", m[0], m[1], m[2], m[3], m[4], m[5]);
        dotted("IP", id.ip_address);
        dotted("NETMASK", id.netmask);
        dotted("GATEWAY", id.gateway);
    }
    return id;
}
