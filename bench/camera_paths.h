// The camera-control benchmark's two ends and how their records meet.
//
// The LAN side (bench-camera-peer) sends NDI PTZ metadata and VISCA over
// IP and writes one line per event, with the wall-clock time:
//     metadata K NS          a zoom document whose position is K/16384 sent
//     visca_sent SEQ NS      a VISCA command datagram with sequence SEQ sent
//     visca_reply SEQ NS HEX a reply for SEQ received (HEX: its VISCA bytes)
// The virtual camera's timing log (virtual-board --camera-timing) has what
// it read off the serial line and what it wrote back. A zoom position of
// K/16384 reaches the line as 82 01 04 47 0p 0q 0r 0s FF with pqrs the
// hex digits of K; a datagram from the peer arrives behind a tag with the
// origin A8 05 07 (192.168.5.7) and its sequence number, which the peer
// keeps free of FF bytes so that the tag carries it unchanged.
//
// Thread rules: none.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench/board_records.h"
#include "bench/sample_set.h"

namespace bench {

// The metadata document for zoom position k / 16384 (k below 0x4000):
// exact in a float, so that the program's position is k itself.
std::string zoom_document(uint32_t k);
// The VISCA command the peer sends: a pan-tilt stop for camera 1, which
// the camera acknowledges and completes at once.
std::vector<uint8_t> visca_datagram(uint32_t sequence);
// The n-th sequence number without an FF byte, from 1.
uint32_t sequence_number(uint32_t n);

struct peer_record {
    std::string kind;   // "metadata", "visca_sent", "visca_reply"
    uint32_t key = 0;   // K or SEQ
    int64_t ns = 0;
    std::string reply;   // visca_reply: the VISCA bytes as hex
};
std::vector<peer_record> read_peer_log(const std::string& path);
std::string peer_line(const peer_record& record);

struct camera_paths {
    sample_set metadata_to_serial;    // metadata sent -> its command read by the camera
    sample_set visca_to_serial;       // datagram sent -> the camera read it
    sample_set reply_to_controller;   // the camera wrote a reply -> the peer got it
    size_t metadata_sent = 0, visca_sent = 0, replies_written = 0;
};
camera_paths match_camera_paths(const std::vector<peer_record>& peer, const std::vector<serial_message>& camera);

}   // namespace bench
