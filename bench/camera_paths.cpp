#include "bench/camera_paths.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace bench {

namespace {

constexpr uint8_t own_tag[8] = {0x0F, 0xA0, 0xA0, 0xA0, 0x05, 0x05, 0x05, 0x05};
constexpr uint8_t peer_origin[3] = {0xA8, 0x05, 0x07};   // octets 2-4 of 192.168.5.7
constexpr size_t tag_size = 8;

bool has_own_tag(const std::vector<uint8_t>& m)
{
    return m.size() > tag_size && std::equal(own_tag, own_tag + tag_size, m.begin());
}

bool from_peer(const std::vector<uint8_t>& m)
{
    return m.size() > tag_size && m[0] == 0 && std::equal(peer_origin, peer_origin + 3, m.begin() + 1);
}

uint32_t tag_sequence(const std::vector<uint8_t>& m)
{
    return uint32_t(m[4]) << 24 | uint32_t(m[5]) << 16 | uint32_t(m[6]) << 8 | m[7];
}

}   // namespace

std::string zoom_document(uint32_t k)
{
    char text[80];
    std::snprintf(text, sizeof text, "<qrn_ptz_zoom zoom=\"%.17g\"/>", double(k) / 16384);
    return text;
}

std::vector<uint8_t> visca_datagram(uint32_t sequence)
{
    return {0x01,
            0x00,
            0x00,
            0x09,
            uint8_t(sequence >> 24),
            uint8_t(sequence >> 16),
            uint8_t(sequence >> 8),
            uint8_t(sequence),
            0x81,
            0x01,
            0x06,
            0x01,
            0x18,
            0x14,
            0x03,
            0x03,
            0xFF};
}

uint32_t sequence_number(uint32_t n)
{
    uint32_t sequence = 0;
    for (uint32_t found = 0; found < n;) {
        ++sequence;
        bool clean = true;
        for (int shift = 0; shift < 32; shift += 8)
            clean = clean && ((sequence >> shift) & 0xFF) != 0xFF;
        found += clean;
    }
    return sequence;
}

std::vector<peer_record> read_peer_log(const std::string& path)
{
    std::vector<peer_record> records;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        peer_record r;
        long long ns = 0;
        if (!(fields >> r.kind >> r.key >> ns))
            continue;
        r.ns = ns;
        std::getline(fields >> std::ws, r.reply);
        records.push_back(r);
    }
    return records;
}

std::string peer_line(const peer_record& record)
{
    std::string line = record.kind + " " + std::to_string(record.key) + " " + std::to_string(record.ns);
    return record.reply.empty() ? line : line + " " + record.reply;
}

camera_paths match_camera_paths(const std::vector<peer_record>& peer, const std::vector<serial_message>& camera)
{
    // What the camera read, by zoom position and by sequence number, and
    // what it wrote back to the peer, by sequence and reply; the first of
    // each counts.
    std::map<uint32_t, int64_t> zoom_read, visca_read;
    std::map<std::pair<uint32_t, std::string>, int64_t> reply_written;
    for (const serial_message& m : camera) {
        const std::vector<uint8_t>& b = m.bytes;
        if (m.from_program && has_own_tag(b) && b.size() == tag_size + 9 && b[8] == 0x82 && b[9] == 0x01 &&
            b[10] == 0x04 && b[11] == 0x47) {
            const uint32_t k = uint32_t(b[12] & 0xF) << 12 | uint32_t(b[13] & 0xF) << 8 | uint32_t(b[14] & 0xF) << 4 |
                uint32_t(b[15] & 0xF);
            zoom_read.emplace(k, m.ns);
        } else if (m.from_program && from_peer(b)) {
            visca_read.emplace(tag_sequence(b), m.ns);
        } else if (!m.from_program && from_peer(b)) {
            reply_written.emplace(std::make_pair(tag_sequence(b), hex_text({b.begin() + tag_size, b.end()})), m.ns);
        }
    }

    camera_paths paths;
    paths.replies_written = reply_written.size();
    for (const peer_record& r : peer) {
        if (r.kind == "metadata") {
            ++paths.metadata_sent;
            if (auto it = zoom_read.find(r.key); it != zoom_read.end())
                paths.metadata_to_serial.add(double(it->second - r.ns));
        } else if (r.kind == "visca_sent") {
            ++paths.visca_sent;
            if (auto it = visca_read.find(r.key); it != visca_read.end())
                paths.visca_to_serial.add(double(it->second - r.ns));
        } else if (r.kind == "visca_reply") {
            if (auto it = reply_written.find({r.key, r.reply}); it != reply_written.end()) {
                paths.reply_to_controller.add(double(r.ns - it->second));
                reply_written.erase(it);   // a repeated reply counts once
            }
        }
    }
    return paths;
}

}   // namespace bench
