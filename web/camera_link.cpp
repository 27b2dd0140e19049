#include "web/camera_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "web/json_text.h"

namespace {

constexpr uint8_t camera_address = 0x82;
constexpr size_t header_size = 8;
constexpr uint16_t command_payload = 0x0100;

sockaddr_in loopback(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A reply's meaning from its VISCA bytes: y0 4z FF, y0 5z FF, y0 6z ee FF.
std::string reply_state(const uint8_t* visca, size_t size)
{
    if (size < 3)
        return "";
    switch (visca[1] & 0xF0) {
    case 0x40: return "acknowledged";
    case 0x50: return "completed";
    case 0x60: {
        if (size < 4)
            return "error";
        switch (visca[2]) {
        case 0x01: return "error: message length";
        case 0x02: return "error: syntax";
        case 0x03: return "error: buffer full";
        case 0x04: return "error: cancelled";
        case 0x05: return "error: no socket";
        case 0x41: return "error: not executable now";
        default: {
            char text[32];
            snprintf(text, sizeof text, "error %02X", visca[2]);
            return text;
        }
        }
    }
    default: return "";
    }
}

bool settled(const std::string& state)
{
    return state != "sent" && state != "acknowledged";
}

}   // namespace

camera_link::camera_link(uint16_t camera, uint16_t reply) : camera_port(camera)
{
    socket.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket)
        throw std::runtime_error(std::string("cannot open a UDP socket: ") + strerror(errno));
    const sockaddr_in address = loopback(reply);
    if (bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot bind 127.0.0.1:" + std::to_string(reply) + ": " + strerror(errno));
}

camera_link::command& camera_link::record(const std::string& name, double now)
{
    command c;
    c.id = next_id++;
    c.name = name;
    c.sent = now;
    log.push_back(c);
    while (log.size() > log_size)
        log.pop_front();
    return log.back();
}

uint64_t camera_link::send(const std::string& name, const bytes& visca, double now)
{
    command& c = record(name, now);
    c.sequence = next_sequence++;
    uint8_t datagram[64];
    if (visca.size() > sizeof datagram - header_size) {
        c.state = "not sent";
        return c.id;
    }
    datagram[0] = uint8_t(command_payload >> 8);
    datagram[1] = uint8_t(command_payload & 0xFF);
    datagram[2] = uint8_t(visca.size() >> 8);
    datagram[3] = uint8_t(visca.size() & 0xFF);
    for (int i = 0; i < 4; ++i)
        datagram[4 + i] = uint8_t(c.sequence >> (24 - 8 * i));
    std::copy(visca.begin(), visca.end(), datagram + header_size);
    const sockaddr_in to = loopback(camera_port);
    const ssize_t sent = sendto(socket.get(), datagram, header_size + visca.size(), MSG_DONTWAIT,
                                reinterpret_cast<const sockaddr*>(&to), sizeof to);
    c.state = sent == ssize_t(header_size + visca.size()) ? "sent" : "not sent";
    if (c.state == "not sent")
        c.settled = now;
    return c.id;
}

uint64_t camera_link::hold_drive(const std::string& kind, const std::string& name, const bytes& moving,
                                 const bytes& stop, double now)
{
    auto under_way = std::find_if(drives.begin(), drives.end(), [&](const drive& d) { return d.kind == kind; });
    if (under_way != drives.end() && under_way->moving == moving) {
        under_way->held_until = now + drive_lease;
        return 0;
    }
    if (under_way == drives.end())
        under_way = drives.insert(drives.end(), drive{kind, {}, {}, 0});
    under_way->moving = moving;
    under_way->stop = stop;
    under_way->held_until = now + drive_lease;
    return send(name, moving, now);
}

uint64_t camera_link::release_drive(const std::string& kind, double now)
{
    auto under_way = std::find_if(drives.begin(), drives.end(), [&](const drive& d) { return d.kind == kind; });
    bytes stop = kind == "zoom" ? visca_commands::zoom_stop() : visca_commands::pan_tilt_stop();
    if (under_way != drives.end())
        drives.erase(under_way);
    // Sent also when no drive is known: a release is never ignored.
    return send(kind + " stop", stop, now);
}

void camera_link::receive(double now)
{
    uint8_t datagram[256];
    for (;;) {
        sockaddr_in from{};
        socklen_t from_size = sizeof from;
        const ssize_t got = recvfrom(socket.get(), datagram, sizeof datagram, MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &from_size);
        if (got < 0)
            break;
        // Only the program's loop socket answers here.
        if (from.sin_addr.s_addr != htonl(INADDR_LOOPBACK) || ntohs(from.sin_port) != camera_port)
            continue;
        if (size_t(got) <= header_size || datagram[0] != 0x01 || datagram[1] != 0x11)
            continue;
        const uint32_t sequence = uint32_t(datagram[4]) << 24 | uint32_t(datagram[5]) << 16 |
            uint32_t(datagram[6]) << 8 | uint32_t(datagram[7]);
        const std::string state = reply_state(datagram + header_size, size_t(got) - header_size);
        if (state.empty())
            continue;
        for (command& c : log) {
            if (c.sequence != sequence || settled(c.state))
                continue;
            c.state = state;
            if (settled(state))
                c.settled = now;
        }
    }
    for (command& c : log) {
        if (!settled(c.state) && now - c.sent > reply_within) {
            c.state = c.state == "acknowledged" ? "acknowledged, no completion" : "no reply";
            c.settled = now;
        }
    }
}

bool camera_link::check_drives(double now)
{
    for (auto d = drives.begin(); d != drives.end();) {
        if (now < d->held_until) {
            ++d;
            continue;
        }
        send(d->kind + " stop (released by nobody)", d->stop, now);
        d = drives.erase(d);
    }
    return !drives.empty();
}

double camera_link::next_deadline() const
{
    double next = -1;
    for (const drive& d : drives)
        if (next < 0 || d.held_until < next)
            next = d.held_until;
    for (const command& c : log)
        if (!settled(c.state) && (next < 0 || c.sent + reply_within < next))
            next = c.sent + reply_within;
    return next;
}

std::string camera_link::log_json() const
{
    std::string out = "{\"drives\":[";
    for (size_t i = 0; i < drives.size(); ++i) {
        if (i)
            out += ',';
        append_json_string(out, drives[i].kind);
    }
    out += "],\"commands\":[";
    bool first = true;
    for (auto c = log.rbegin(); c != log.rend(); ++c) {
        if (!first)
            out += ',';
        first = false;
        out += "{\"id\":" + std::to_string(c->id) + ",\"name\":";
        append_json_string(out, c->name);
        out += ",\"state\":";
        append_json_string(out, c->state);
        out += ",\"sent\":";
        append_json_number(out, c->sent);
        out += ",\"seconds\":";
        append_json_number(out, c->settled > 0 ? c->settled - c->sent : 0);
        out += '}';
    }
    out += "]}";
    return out;
}

namespace visca_commands {

camera_link::bytes pan_tilt(int pan, int tilt, int speed)
{
    const auto direction = [](int d) { return uint8_t(d < 0 ? 0x01 : d > 0 ? 0x02 : 0x03); };
    const uint8_t pan_speed = uint8_t(std::clamp(speed, 1, 24));
    const uint8_t tilt_speed = uint8_t(std::clamp(speed, 1, 23));
    // Tilt: 01 up, 02 down, as pan is 01 left, 02 right.
    const uint8_t tilt_direction = tilt > 0 ? 0x01 : tilt < 0 ? 0x02 : 0x03;
    return {camera_address, 0x01, 0x06, 0x01, pan_speed, tilt_speed, direction(pan), tilt_direction, 0xFF};
}

camera_link::bytes pan_tilt_stop()
{
    return {camera_address, 0x01, 0x06, 0x01, 0x01, 0x01, 0x03, 0x03, 0xFF};
}

camera_link::bytes zoom(int direction, int speed)
{
    const uint8_t p = uint8_t(std::clamp(speed, 0, 7));
    return {camera_address, 0x01, 0x04, 0x07, uint8_t((direction > 0 ? 0x20 : 0x30) | p), 0xFF};
}

camera_link::bytes zoom_stop()
{
    return {camera_address, 0x01, 0x04, 0x07, 0x00, 0xFF};
}

camera_link::bytes home()
{
    return {camera_address, 0x01, 0x06, 0x04, 0xFF};
}

camera_link::bytes preset_recall(int preset)
{
    return {camera_address, 0x01, 0x04, 0x3F, 0x02, uint8_t(std::clamp(preset, 1, 8) - 1), 0xFF};
}

camera_link::bytes preset_store(int preset)
{
    return {camera_address, 0x01, 0x04, 0x3F, 0x01, uint8_t(std::clamp(preset, 1, 8) - 1), 0xFF};
}

camera_link::bytes white_balance_one_push_mode()
{
    return {camera_address, 0x01, 0x04, 0x35, 0x03, 0xFF};
}

camera_link::bytes white_balance_one_push_trigger()
{
    return {camera_address, 0x01, 0x04, 0x10, 0x05, 0xFF};
}

}   // namespace visca_commands
