#include "ptz/packet_splitter.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t shortest_packet = serial_tag::size + 3;   // tag, header, kind, terminator

// A reply header: bit 7 set, the low nibble 0 (x0 from camera x - 8).
bool reply_header(uint8_t b)
{
    return (b & 0x8F) == 0x80;
}

// An acknowledgement (4y), a completion (5y) or an error (6y).
bool reply_kind(uint8_t b)
{
    const uint8_t kind = b >> 4;
    return kind == 0x4 || kind == 0x5 || kind == 0x6;
}

// A completion or an error: the last answer a command gets.
bool final_reply(uint8_t kind_byte)
{
    return (kind_byte >> 4) != 0x4;
}

}   // namespace

void packet_splitter::expect(const serial_tag& tag, const address& sender, clock::time_point now)
{
    forget_expired(now);
    if (awaited_count == awaited_tags.size())
        forget(0);
    awaited_tags[awaited_count++] = {tag, sender, now};
}

bool packet_splitter::push(uint8_t byte, clock::time_point now, size_t& start, address& sender)
{
    forget_expired(now);
    // Only the last max_packet bytes can belong to a packet still to end.
    if (length == window.size()) {
        std::memmove(window.data(), window.data() + 1, length - 1);
        --length;
    }
    window[length++] = byte;
    if (byte != terminator)
        return false;

    // The earliest start wins: on a clean line it is where the reply began,
    // and its data bytes may read like a tag and a header further on.
    for (size_t s = 0; s + shortest_packet <= length; ++s) {
        if (!packet_at(s))
            continue;
        start = s;
        cut_size = length - s;
        length = 0;
        sender = {};
        const uint8_t* tag = window.data() + s;
        if (!is_service_tag(tag)) {
            const size_t index = awaited_index(tag);
            sender = awaited_tags[index].sender;
            if (final_reply(tag[serial_tag::size + 1]))
                forget(index);
        }
        return true;
    }
    if (!inside_a_tag())
        length = 0;
    return false;
}

// Whether window[start] up to the terminator just taken is a reply behind
// an awaited tag.
bool packet_splitter::packet_at(size_t start) const
{
    const uint8_t* header = window.data() + start + serial_tag::size;
    const uint8_t* last = window.data() + length - 1;
    return reply_header(header[0]) && reply_kind(header[1]) && std::find(header, last, terminator) == last &&
        awaited(window.data() + start);
}

// Whether the terminator just taken may be an origin byte of an awaited tag
// that is still being read.
bool packet_splitter::inside_a_tag() const
{
    for (size_t i = 0; i < awaited_count; ++i) {
        const auto& tag = awaited_tags[i].tag.bytes;
        for (size_t at = 1; at <= 3; ++at) {
            if (tag[at] == terminator && length >= at + 1 &&
                std::memcmp(window.data() + length - (at + 1), tag.data(), at + 1) == 0)
                return true;
        }
    }
    return false;
}

size_t packet_splitter::awaited_index(const uint8_t* bytes) const
{
    for (size_t i = 0; i < awaited_count; ++i) {
        if (std::memcmp(awaited_tags[i].tag.bytes.data(), bytes, serial_tag::size) == 0)
            return i;
    }
    return awaited_count;
}

bool packet_splitter::awaited(const uint8_t* bytes) const
{
    return is_service_tag(bytes) || awaited_index(bytes) < awaited_count;
}

void packet_splitter::forget_expired(clock::time_point now)
{
    size_t expired = 0;
    while (expired < awaited_count && now - awaited_tags[expired].written >= tag_lifetime)
        ++expired;
    if (expired == 0)
        return;
    std::move(awaited_tags.begin() + long(expired), awaited_tags.begin() + long(awaited_count), awaited_tags.begin());
    awaited_count -= expired;
}

void packet_splitter::forget(size_t index)
{
    std::move(awaited_tags.begin() + long(index) + 1, awaited_tags.begin() + long(awaited_count),
              awaited_tags.begin() + long(index));
    --awaited_count;
}
