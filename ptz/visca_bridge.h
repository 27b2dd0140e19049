// What "viscaPTZ" makes of the datagrams and serial packets it is given:
// the VISCA-over-IP commands it forwards to the camera, the replies it
// routes back by their serial tag, and the network-settings responder's
// answers. Pure functions over bytes, so that a fuzzer can call them; the
// thread itself is ptz::visca_thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "ptz/network_identity.h"
#include "ptz/packet_splitter.h"

namespace visca_port {
constexpr uint16_t discovery = 52380;    // network-settings enquiries
constexpr uint16_t visca = 52381;        // VISCA over IP; controllers get their replies here
constexpr uint16_t loop = 52385;         // local processes, on 127.0.0.1
constexpr uint16_t loop_reply = 52386;   // where local processes get theirs
}   // namespace visca_port

// VISCA-over-IP header: payload type (2 bytes), payload length (2),
// sequence number (4), all big-endian; the VISCA message follows.
constexpr size_t visca_ip_header = 8;

// Sizes of the answers, for the callers' buffers.
constexpr size_t control_ack_size = 9;
constexpr size_t nak_reply_size = 24;
constexpr size_t network_reply_capacity = 256;
// A reply datagram is as long as the tagged packet it comes from.
constexpr size_t reply_datagram_capacity = packet_splitter::max_packet;

// What to do with a datagram that arrived on the VISCA or the loop socket.
enum class command_action {
    ignore,
    acknowledge,   // a control command (type 0x02xx but not the reply 0x0201): answer with the control acknowledgement
    forward,       // a well-formed VISCA message for the camera this socket serves
};

// camera_header is 0x81 on the VISCA socket, 0x82 on the loop socket. A
// message is forwarded only when it is one VISCA message: it starts with
// camera_header, its only 0xFF is its last byte and it has at most 16
// bytes. The camera frames its line by the terminator, so an inner 0xFF
// would end the message early and make the rest read as the next tag. The
// payload length field is not compared: controllers send it wrong.
command_action classify_command(const uint8_t* datagram, size_t n, uint8_t camera_header);

// Replaces the VISCA-over-IP header of a command datagram in place by the
// serial tag for its sender.
void tag_command(uint8_t* datagram, const std::array<uint8_t, 4>& sender);

// Fills the control acknowledgement 02 01 00 01 00 00 00 00 01; returns 9.
size_t make_control_ack(uint8_t* out);

// Where a tagged reply from the camera goes.
enum class reply_route {
    drop,      // not a well-formed tagged reply, one to the service's own commands, or one for nobody who asked
    network,   // header 0x90: to the controller that sent the command, at its own address
    loop,      // header 0xA0 to a command from 127.0.0.1: to the local processes
};
// Only a well-formed reply leaves the device: a well-formed tag other than
// the service's own, then at most 16 bytes of VISCA whose only 0xFF is the
// last and whose second byte is an acknowledgement, a completion or an
// error (4y, 5y, 6y). sender is the address the splitter recorded for the
// tag (ptz/packet_splitter.h), so a reply goes only to a host that sent a
// command behind that tag; line noise becomes a datagram only where the
// splitter says it can, and then only to such a host.
reply_route route_reply(const uint8_t* packet, size_t n, const std::array<uint8_t, 4>& sender);

// The VISCA-over-IP reply datagram for a tagged packet of n bytes (at most
// reply_datagram_capacity): type 01 11, length n - 8, the sequence number
// with its 0xFF bytes restored, then the reply. Returns n.
size_t make_reply_datagram(const uint8_t* packet, size_t n, uint8_t* out);

// The network-settings enquiry: "ENQ:network" in bytes 1 to 11 (byte 0 is
// not looked at; more may follow).
bool is_network_enquiry(const uint8_t* datagram, size_t n);

// What the responder owes a datagram on the discovery socket: the
// network-settings reply to an enquiry, nothing to an answer, the NAK to
// anything else.
enum class settings_answer { none, reply, nak };
settings_answer answer_for(const uint8_t* datagram, size_t n);

// An answer of this device or another: a network-settings reply (it
// carries "INFO:network"), or an "ACK:" or "NAK:" in bytes 1 to 4. Answers
// are never answered, or two responders would answer each other without
// end. A network-setting command (02 "MAC:..." FF "IPADR:..." ... 03) is
// a request: it gets the NAK.
bool is_network_answer(const uint8_t* datagram, size_t n);

// The network-settings reply, with host_name (cut to 8 characters);
// returns its length (at most network_reply_capacity).
size_t make_network_reply(const network_identity& identity, const char* host_name, uint8_t* out);

// 02 "NAK:" and the MAC address, FF 03; returns 24.
size_t make_nak_reply(const network_identity& identity, uint8_t* out);
