#include "ptz/packet_splitter.h"

#include <algorithm>
#include <cstring>

void packet_splitter::feed(const uint8_t* data, long n)
{
    if (n <= 0)
        return;
    const uint8_t* position = data;
    const uint8_t* const end = data + n;
    while (position < end) {
        const uint8_t* found = std::find(position, end, terminator);
        if (found == end) {
            // No terminator: these bytes start, or continue, a message. When
            // they cannot continue it within the limit they start it afresh.
            const size_t rest = size_t(end - position);
            if (pending.size + rest > max_packet)
                pending.size = 0;
            if (rest <= max_packet) {
                std::memcpy(pending.bytes.data() + pending.size, position, rest);
                pending.size += rest;
            }
            return;
        }
        const size_t segment = size_t(found - position) + 1;
        // A pending start that the segment would take past the limit is
        // dropped, and the segment is taken on its own.
        if (pending.size > 0 && pending.size + segment <= max_packet) {
            std::memcpy(pending.bytes.data() + pending.size, position, segment);
            store(pending.bytes.data(), pending.size + segment);
        } else if (segment <= max_packet) {
            store(position, segment);
        }
        pending.size = 0;
        position = found + 1;
    }
}

void packet_splitter::store(const uint8_t* data, size_t n)
{
    if (count == ring_slots) {
        read_index = (read_index + 1) % ring_slots;
        --count;
    }
    packet& slot = slots[(read_index + count) % ring_slots];
    std::memmove(slot.bytes.data(), data, n);
    slot.size = n;
    ++count;
}

bool packet_splitter::take(packet& out)
{
    if (count == 0)
        return false;
    out = slots[read_index];
    read_index = (read_index + 1) % ring_slots;
    --count;
    return true;
}
