#include "tests/ptz/reference/bridge_reference.h"

#include <cstdio>
#include <cstring>

namespace reference {

std::vector<bytes> packet_splitter::feed(const uint8_t* data, long n)
{
    std::vector<bytes> out;
    if (n <= 0)
        return out;
    size_t position = 0;
    const size_t size = size_t(n);
    while (position < size) {
        size_t end = position;
        while (end < size && data[end] != 0xFF)
            ++end;
        if (end == size) {
            // No terminator: the rest becomes pending.
            const size_t remainder = size - position;
            if (pending.size() + remainder <= limit) {
                pending.insert(pending.end(), data + position, data + size);
            } else {
                pending.clear();
                if (remainder <= limit)
                    pending.assign(data + position, data + size);
            }
            return out;
        }
        const size_t segment = end + 1 - position;
        if (pending.empty()) {
            if (segment <= limit)
                out.emplace_back(data + position, data + end + 1);
        } else {
            if (pending.size() + segment > limit) {
                pending.clear();
                return out;
            }
            pending.insert(pending.end(), data + position, data + end + 1);
            out.push_back(pending);
            pending.clear();
        }
        position = end + 1;
    }
    return out;
}

namespace {

datagram reply_datagram(const bytes& packet, datagram::socket from, const ipv4& to, uint16_t port)
{
    const size_t n = packet.size();
    datagram d{from, to, port, {}};
    d.payload = {0x01, 0x11, uint8_t((n - 8) >> 8), uint8_t(n - 8)};
    for (int i = 0; i < 4; ++i) {
        const bool replaced = packet[0] & (0x08 >> i);
        d.payload.push_back(uint8_t(packet[4 + size_t(i)] + (replaced ? 1 : 0)));
    }
    d.payload.insert(d.payload.end(), packet.begin() + 8, packet.end());
    return d;
}

}   // namespace

std::vector<datagram> route_packet(const bytes& packet, const ipv4& device)
{
    if (packet.size() <= 8 || packet[0] > 0x0F || packet.size() > 68)
        return {};
    if (packet[8] == 0x90)
        return {reply_datagram(packet, datagram::socket::reply, {device[0], packet[1], packet[2], packet[3]}, 52381)};
    if (packet[1] == 0x00 && packet[2] == 0x00 && packet[3] == 0x01 && packet[8] == 0xA0)
        return {reply_datagram(packet, datagram::socket::loop, {127, 0, 0, 1}, 52386)};
    return {};
}

command_outcome serve_command(const uint8_t* data, size_t n, const ipv4& sender, bool loop)
{
    command_outcome out;
    if (n <= 8)
        return out;
    if (data[0] == 0x02) {
        out.sent.push_back(
            {datagram::socket::reply, sender, 52381, {0x02, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01}});
        return out;
    }
    const uint8_t camera = loop ? 0x82 : 0x81;
    if (data[0] == 0x01 && data[8] == camera && data[n - 1] == 0xFF) {
        out.serial.assign(data, data + n);
        uint8_t flags = 0;
        for (int i = 0; i < 4; ++i) {
            if (out.serial[4 + size_t(i)] == 0xFF) {
                out.serial[4 + size_t(i)] = 0xFE;
                flags |= uint8_t(0x08 >> i);
            }
        }
        out.serial[0] = flags;
        out.serial[1] = sender[1];
        out.serial[2] = sender[2];
        out.serial[3] = sender[3];
    }
    return out;
}

std::vector<datagram> serve_discovery(const uint8_t* data, size_t n, uint16_t port, const identity& device,
                                      const std::string& host_name)
{
    if (n == 0)
        return {};
    std::string text;
    char field[128];
    const auto& m = device.mac;
    if (n >= 12 && std::memcmp(data + 1, "ENQ:network", 11) == 0) {
        const auto& a = device.address;
        const auto& k = device.netmask;
        text += '\x02';
        std::snprintf(field, sizeof field, "MAC:%02x-%02x-%02x-%02x-%02x-%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
        text += field;
        text += "\xFFINFO:network\xFFMODEL:DIZIZI\xFFSOFTVERSION:" + device.version + "\xFF";
        std::snprintf(field, sizeof field, "IPADR:%u.%u.%u.%u\xFFMASK:%u.%u.%u.%u\xFFGATEWAY:%u.%u.%u.1\xFF", a[0],
                      a[1], a[2], a[3], k[0], k[1], k[2], k[3], a[0] & k[0], a[1] & k[1], a[2] & k[2]);
        text += field;
        text += "NAME:" + host_name.substr(0, 8) + "\xFFWRITE:on\xFF\x03";
    } else {
        std::snprintf(field, sizeof field, "\x02NAK:%02x-%02x-%02x-%02x-%02x-%02x\xFF\x03", m[0], m[1], m[2], m[3],
                      m[4], m[5]);
        text = field;
    }
    return {{datagram::socket::discovery, {255, 255, 255, 255}, port, bytes(text.begin(), text.end())}};
}

}   // namespace reference
