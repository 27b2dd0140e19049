// Cuts the camera's byte stream into tagged replies: the 8-byte serial tag
// of the command answered (ptz/serial_tag.h), then a VISCA reply from its
// header byte (x0) up to the 0xFF terminator, at most 16 bytes.
//
// A reply's data bytes may be anything but 0xFF: model and firmware numbers
// (05 80, 80 1D), block inquiries and positions carry bytes of the form x0
// that read like a reply header, and runs that read like a tag. So the
// shape of the bytes alone cannot tell where a reply starts. What can is
// the bridge's own record of what it wrote: a packet starts only at a tag
// that the bridge wrote and whose command has not yet been seen completed
// (a completion 5y or an error 6y behind it; an acknowledgement 4y leaves
// it awaited), at most awaited_capacity of them and none older than
// tag_lifetime. The service's own tag is always awaited.
//
// When a terminator comes, the earliest place since the last cut where an
// awaited tag is followed by a reply header and a reply kind (4y, 5y, 6y),
// with no 0xFF between that header and the terminator, starts the packet;
// anything before it is noise. On a clean line the bytes since the last
// cut are exactly one reply, so it is cut whole whatever its data bytes;
// taking the latest tag-like run instead would start inside the data. A
// terminator that can neither end a packet nor sit in an awaited tag (its
// origin bytes may hold 0xFF: a controller at a.255.c.d) ends noise, which
// is discarded.
//
// Noise becomes a packet only when it holds, whole and in order, the tag of
// a command still awaited, a reply header, a reply kind and a terminator
// within 16 bytes: then it is taken as that command's answer and goes to
// that command's sender, never anywhere else. Each packet is handed on
// with the full address of the sender the bridge recorded for its tag.
//
// Threads: "viscaPTZ" only. A pure state machine with the time given, so a
// fuzzer can drive it and tests step the clock.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "ptz/serial_tag.h"
#include "ptz/visca_encoder.h"

class packet_splitter {
public:
    using clock = std::chrono::steady_clock;
    using address = std::array<uint8_t, 4>;   // IPv4, first octet first

    static constexpr uint8_t terminator = 0xFF;
    static constexpr size_t max_packet = serial_tag::size + visca_message::max_size;
    // A camera answers a command within a few seconds, a long move when it
    // ends; it holds two commands at a time and refuses more (6y 03), so
    // more than a few dozen unanswered commands means answers were lost.
    static constexpr size_t awaited_capacity = 32;
    static constexpr std::chrono::seconds tag_lifetime{60};

    // Notes a tag written to the line at now for a command from sender; the
    // oldest awaited tag makes room when the table is full.
    void expect(const serial_tag& tag, const address& sender, clock::time_point now);

    // Splits n bytes (nothing for n of 0 or less) read at now, calling
    // on_packet(const uint8_t* packet, size_t size, const address& sender)
    // for each packet as it is cut; the bytes are valid during the call.
    // The sender of the service's own tag is 0.0.0.0.
    template <typename Sink>
    void feed(const uint8_t* data, long n, clock::time_point now, Sink&& on_packet)
    {
        for (long i = 0; i < n; ++i) {
            size_t start;
            address sender;
            if (push(data[i], now, start, sender))
                on_packet(window.data() + start, cut_size, sender);
        }
    }

    // Bytes kept towards a packet whose terminator has not come yet.
    size_t pending_size() const { return length; }
    // Tags written and not yet answered with a completion or an error.
    size_t awaited_size() const { return awaited_count; }

private:
    struct awaited_tag {
        serial_tag tag;
        address sender{};
        clock::time_point written{};
    };

    // Takes one byte; true when it completes the packet that starts at
    // window[start] (cut_size bytes).
    bool push(uint8_t byte, clock::time_point now, size_t& start, address& sender);
    bool packet_at(size_t start) const;
    bool inside_a_tag() const;
    // The index of the oldest awaited entry for the tag at bytes, the
    // count of entries when there is none.
    size_t awaited_index(const uint8_t* bytes) const;
    bool awaited(const uint8_t* bytes) const;
    void forget_expired(clock::time_point now);
    void forget(size_t index);

    std::array<uint8_t, max_packet> window{};   // the latest bytes since the last cut or noise
    size_t length = 0;
    size_t cut_size = 0;
    std::array<awaited_tag, awaited_capacity> awaited_tags{};   // oldest first
    size_t awaited_count = 0;
};
