// Cuts the camera's byte stream into tagged replies: the 8-byte serial tag
// of the command answered (ptz/serial_tag.h), then a VISCA reply from its
// header byte (x0) up to the 0xFF terminator, at most 16 bytes.
//
// Each packet is handed on as it is cut, so however many replies one read
// completes, none is lost. Line noise is skipped: when a terminator comes,
// the latest place in the last max_packet bytes where a well-formed tag is
// followed by a reply header, with no 0xFF between that header and the
// terminator, starts the packet; anything before it is noise, so a real
// reply is recognised behind noise that had no terminator of its own. A
// tag is read as a tag: its origin bytes may hold 0xFF (a controller at
// a.255.c.d), and such a 0xFF is kept as a tag byte, not taken as the end
// of the packet. A terminator that can neither end a packet nor sit in a
// tag ends noise, which is discarded.
//
// Threads: "viscaPTZ" only. A pure state machine, so a fuzzer can drive it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "ptz/serial_tag.h"
#include "ptz/visca_encoder.h"

class packet_splitter {
public:
    static constexpr uint8_t terminator = 0xFF;
    static constexpr size_t max_packet = serial_tag::size + visca_message::max_size;

    // Splits n bytes (nothing for n of 0 or less), calling
    // on_packet(const uint8_t* packet, size_t size) for each packet as it
    // is cut; the bytes are valid during the call.
    template <typename Sink>
    void feed(const uint8_t* data, long n, Sink&& on_packet)
    {
        for (long i = 0; i < n; ++i) {
            size_t start;
            if (push(data[i], start))
                on_packet(window.data() + start, cut_size);
        }
    }

    // Bytes kept towards a packet whose terminator has not come yet.
    size_t pending_size() const { return length; }

private:
    // Takes one byte; true when it completes the packet that starts at
    // window[start] (cut_size bytes).
    bool push(uint8_t byte, size_t& start);
    bool packet_at(size_t start) const;
    bool inside_a_tag(size_t at) const;

    std::array<uint8_t, max_packet> window{};   // the latest bytes since a terminator ended something
    size_t length = 0;
    size_t cut_size = 0;
};
