// Cuts the camera's byte stream into messages ending in the 0xFF
// terminator, a read at a time, into a ring of four packets.
//
// A message longer than max_packet bytes is discarded. When a read completes
// more packets than the ring holds, the oldest unread one is dropped: like
// every queue of the program it favours the newest, and the newest reply is
// the one a controller waits for.
//
// Threads: "viscaPTZ" only. A pure state machine, so a fuzzer can drive it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

class packet_splitter {
public:
    static constexpr uint8_t terminator = 0xFF;
    static constexpr size_t max_packet = 200;
    static constexpr size_t ring_slots = 4;

    struct packet {
        std::array<uint8_t, max_packet> bytes{};
        size_t size = 0;
    };

    // Splits n bytes (nothing for n of 0 or less).
    void feed(const uint8_t* data, long n);

    // The oldest complete packet, removed from the ring; false when none.
    bool take(packet& out);

    size_t pending_size() const { return pending.size; }

private:
    void store(const uint8_t* data, size_t n);

    packet pending;   // a message whose terminator has not come yet
    std::array<packet, ring_slots> slots{};
    size_t read_index = 0;
    size_t count = 0;
};
