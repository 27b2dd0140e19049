#include "ptz/packet_splitter.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t shortest_packet = serial_tag::size + 2;   // tag, header, terminator

// A reply header: bit 7 set, the low nibble 0 (x0 from camera x - 8).
bool reply_header(uint8_t b)
{
    return (b & 0x8F) == 0x80;
}

}   // namespace

bool packet_splitter::push(uint8_t byte, size_t& start)
{
    // Only the last max_packet bytes can belong to a packet still to end.
    if (length == window.size()) {
        std::memmove(window.data(), window.data() + 1, length - 1);
        --length;
    }
    window[length++] = byte;
    if (byte != terminator)
        return false;

    // The latest start wins: noise before a real tag may look like a tag
    // itself, but its "header" then lies inside the real tag.
    if (length >= shortest_packet) {
        for (size_t s = length - shortest_packet + 1; s-- > 0;) {
            if (packet_at(s)) {
                start = s;
                cut_size = length - s;
                length = 0;
                return true;
            }
        }
    }
    if (!inside_a_tag(length - 1))
        length = 0;
    return false;
}

// Whether window[start] up to the terminator just taken is a tagged reply.
bool packet_splitter::packet_at(size_t start) const
{
    const uint8_t* header = window.data() + start + serial_tag::size;
    const uint8_t* last = window.data() + length - 1;
    return well_formed_tag(window.data() + start) && reply_header(*header) &&
        std::find(header, last, terminator) == last;
}

// Whether the byte at window[at] may be origin byte 1, 2 or 3 of a tag
// that is still being read.
bool packet_splitter::inside_a_tag(size_t at) const
{
    for (size_t back = 1; back <= 3 && back <= at; ++back) {
        if (window[at - back] <= 0x0F)
            return true;
    }
    return false;
}
