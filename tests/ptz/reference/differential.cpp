#include "tests/ptz/reference/differential.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "ptz/packet_splitter.h"
#include "ptz/serial_tag.h"
#include "ptz/visca_bridge.h"
#include "tests/ptz/hex.h"

namespace differential {

namespace {

using reference::datagram;

const ipv4 loopback{127, 0, 0, 1};
const bytes service_tag_bytes{0x0F, 0xA0, 0xA0, 0xA0, 0x05, 0x05, 0x05, 0x05};

std::string describe(const datagram& d)
{
    char head[64];
    std::snprintf(head, sizeof head, "[socket %d to %u.%u.%u.%u:%u] ", int(d.from), d.to[0], d.to[1], d.to[2], d.to[3],
                  d.port);
    return head + hex(d.payload);
}

std::string describe(const std::vector<datagram>& all)
{
    std::string out;
    for (const auto& d : all)
        out += describe(d) + "; ";
    return out.empty() ? "nothing" : out;
}

std::string differ(const std::vector<datagram>& program, const std::vector<datagram>& expected)
{
    if (program == expected)
        return "";
    return "program sent " + describe(program) + " where the mended reference sends " + describe(expected);
}

network_identity program_device()
{
    const reference::identity d = device();
    network_identity id;
    id.ip_address = d.address;
    id.netmask = d.netmask;
    id.gateway = {192, 168, 5, 1};
    id.mac_address = d.mac;
    std::snprintf(id.version, sizeof id.version, "%s", d.version.c_str());
    return id;
}

// Bytes of a fuzz input, then zeros.
class reader {
public:
    reader(const uint8_t* d, size_t n) : data(d), size(n) {}
    uint8_t next() { return at < size ? data[at++] : 0; }
    bool more() const { return at < size; }

private:
    const uint8_t* data;
    size_t size;
    size_t at = 0;
};

// One VISCA message whose only 0xFF is its last byte, at most 16 bytes.
bool one_visca_message(const uint8_t* message, size_t n)
{
    if (n == 0 || n > 16 || message[n - 1] != 0xFF)
        return false;
    for (size_t i = 0; i + 1 < n; ++i)
        if (message[i] == 0xFF)
            return false;
    return true;
}

bool contains(const uint8_t* data, size_t n, const char* text)
{
    const size_t length = std::strlen(text);
    for (size_t i = 0; i + length <= n; ++i)
        if (std::memcmp(data + i, text, length) == 0)
            return true;
    return false;
}

}   // namespace

reference::identity device()
{
    return {{0x02, 0x00, 0xC0, 0xA8, 0x05, 0x14}, {192, 168, 5, 20}, {255, 255, 255, 0}, "1.5.0"};
}

std::vector<answer> clean_line(const uint8_t* data, size_t size)
{
    reader in(data, size);
    std::vector<answer> line;
    // Thirty-two commands at most: the bridge writes about one command
    // between two reads of the line, so a camera's answers never find more
    // than that many commands awaiting them, even in a read of their own.
    for (size_t command = 0; command < packet_splitter::awaited_capacity && in.more(); ++command) {
        const uint8_t who = in.next();
        ipv4 sender;
        bytes tag;
        uint8_t header = 0x90;
        switch (who % 4) {
        case 0: sender = {192, 168, 5, uint8_t(in.next() % 255)}; break;   // on the device's subnet
        case 1: sender = {10, uint8_t(in.next() % 255), uint8_t(in.next() % 255), uint8_t(in.next() % 255)}; break;
        case 2:
            sender = loopback;   // a local process talks to camera 2
            header = 0xA0;
            break;
        default: sender = {}; tag = service_tag_bytes;   // the service's own command
        }
        if (tag.empty()) {
            tag = {0x00, sender[1], sender[2], sender[3]};
            for (int i = 0; i < 4; ++i) {
                uint8_t b = in.next();
                if (b == 0xFF) {
                    b = 0xFE;
                    tag[0] |= uint8_t(0x08 >> i);
                }
                tag.push_back(b);
            }
        }
        const uint8_t socket = uint8_t(1 + in.next() % 2);
        const auto reply = [&](uint8_t kind, size_t data_bytes) {
            bytes packet = tag;
            packet.push_back(header);
            packet.push_back(uint8_t(kind | socket));
            for (size_t i = 0; i < data_bytes; ++i)
                packet.push_back(uint8_t(in.next() % 255));
            packet.push_back(0xFF);
            return packet;
        };
        switch (in.next() % 3) {
        case 0:   // a command: acknowledged, then completed
            line.push_back({reply(0x40, 0), sender, true});
            line.push_back({reply(0x50, in.next() % 14), sender, false});
            break;
        case 1:   // an inquiry: the completion carries the data
            line.push_back({reply(0x50, in.next() % 14), sender, true});
            break;
        default:   // refused: an error and its code
            line.push_back({reply(0x60, 1), sender, true});
        }
    }
    return line;
}

std::string compare_line(const std::vector<answer>& answers, const uint8_t* cuts, size_t cut_count)
{
    bytes line;
    std::vector<size_t> starts;
    for (const auto& a : answers) {
        starts.push_back(line.size());
        line.insert(line.end(), a.packet.begin(), a.packet.end());
    }
    const ipv4 device_address = device().address;

    // The reference: its packets must be the answers themselves, or the
    // line was not clean.
    reference::packet_splitter reference_splitter;
    std::vector<bytes> reference_packets;
    // The program, told of each command before the camera's first answer
    // to it can be read.
    packet_splitter splitter;
    const auto now = packet_splitter::clock::time_point{} + std::chrono::hours(1);
    std::vector<datagram> program;
    size_t told = 0;
    size_t cut = 0;
    for (size_t at = 0; at < line.size();) {
        const size_t n =
            cut_count ? std::min(line.size() - at, size_t(1 + cuts[cut++ % cut_count] % 64)) : line.size() - at;
        for (; told < answers.size() && starts[told] < at + n; ++told) {
            const answer& a = answers[told];
            if (!a.first || std::equal(service_tag_bytes.begin(), service_tag_bytes.end(), a.packet.begin()))
                continue;
            serial_tag tag;
            std::copy(a.packet.begin(), a.packet.begin() + serial_tag::size, tag.bytes.begin());
            splitter.expect(tag, a.sender, now);
        }
        for (auto& p : reference_splitter.feed(line.data() + at, long(n)))
            reference_packets.push_back(p);
        splitter.feed(line.data() + at, long(n), now,
                      [&](const uint8_t* packet, size_t size, const packet_splitter::address& asked) {
                          const reply_route to = route_reply(packet, size, asked);
                          if (to == reply_route::drop)
                              return;
                          datagram d;
                          d.from = to == reply_route::network ? datagram::socket::reply : datagram::socket::loop;
                          d.to = to == reply_route::network ? asked : loopback;
                          d.port = to == reply_route::network ? visca_port::visca : visca_port::loop_reply;
                          d.payload.resize(size);
                          make_reply_datagram(packet, size, d.payload.data());
                          program.push_back(d);
                      });
        at += n;
    }
    if (reference_packets.size() != answers.size())
        return "the reference cut " + std::to_string(reference_packets.size()) + " packets from " +
            std::to_string(answers.size()) + " answers: not a clean line";

    std::vector<datagram> expected;
    for (size_t i = 0; i < answers.size(); ++i) {
        if (reference_packets[i] != answers[i].packet)
            return "the reference cut " + hex(reference_packets[i]) + " for " + hex(answers[i].packet);
        for (datagram d : reference::route_packet(reference_packets[i], device_address)) {
            const bytes& p = answers[i].packet;
            if (std::equal(service_tag_bytes.begin(), service_tag_bytes.end(), p.begin()))
                continue;   // mend: the service's own replies stay on the device
            const bool local = answers[i].sender == loopback;
            if ((d.from == datagram::socket::reply) == local)
                continue;   // mend: a camera's reply goes only to who asked that camera
            if (d.from == datagram::socket::reply)
                d.to = answers[i].sender;   // mend: to the sender's own address
            expected.push_back(d);
        }
    }
    return differ(program, expected);
}

std::string compare_command(const uint8_t* data, size_t n, const ipv4& sender, bool loop)
{
    const ipv4 device_address = device().address;

    reference::command_outcome expected = reference::serve_command(data, n, sender, loop);
    if (sender == device_address)
        expected = {};   // mend: the device's own datagrams are not served
    if (n > 8 && data[0] == 0x02) {
        if (data[1] == 0x01)
            expected.sent.clear();   // mend: a control reply is not acknowledged
        else if (loop)
            for (auto& d : expected.sent)
                d = {datagram::socket::loop, loopback, 52386, d.payload};   // mend: a local ack reaches its process
    }
    if (!expected.serial.empty() && !one_visca_message(data + 8, n - 8))
        expected.serial.clear();   // mend: one VISCA message of at most 16 bytes

    reference::command_outcome program;
    if (sender != device_address) {
        bytes buffer(data, data + n);
        switch (classify_command(buffer.data(), n, loop ? 0x82 : 0x81)) {
        case command_action::acknowledge: {
            bytes ack(control_ack_size);
            make_control_ack(ack.data());
            if (loop)
                program.sent.push_back({datagram::socket::loop, loopback, visca_port::loop_reply, ack});
            else
                program.sent.push_back({datagram::socket::reply, sender, visca_port::visca, ack});
            break;
        }
        case command_action::forward:
            tag_command(buffer.data(), sender);
            program.serial = buffer;
            break;
        case command_action::ignore: break;
        }
    }
    if (program == expected)
        return "";
    return "program wrote " + hex(program.serial) + " and sent " + describe(program.sent) +
        " where the mended reference writes " + hex(expected.serial) + " and sends " + describe(expected.sent);
}

std::string compare_discovery(const uint8_t* data, size_t n, const ipv4& sender, uint16_t port,
                              const std::string& host_name)
{
    std::vector<datagram> expected = reference::serve_discovery(data, n, port, device(), host_name);
    const bool answer = (n >= 5 && (std::memcmp(data + 1, "ACK:", 4) == 0 || std::memcmp(data + 1, "NAK:", 4) == 0)) ||
        contains(data, n, "INFO:network");
    if (sender == device().address || answer)
        expected.clear();   // mends: the device's own datagrams, and answers, are not answered

    std::vector<datagram> program;
    if (sender != device().address) {
        const network_identity id = program_device();
        bytes out(network_reply_capacity);
        size_t size = 0;
        switch (answer_for(data, n)) {
        case settings_answer::none: break;
        case settings_answer::reply: size = make_network_reply(id, host_name.c_str(), out.data()); break;
        case settings_answer::nak: size = make_nak_reply(id, out.data()); break;
        }
        if (size) {
            out.resize(size);
            program.push_back({datagram::socket::discovery, {255, 255, 255, 255}, port, out});
        }
    }
    return differ(program, expected);
}

}   // namespace differential
