#include "ptz/serial_tag.h"

#include <cstring>

namespace {

uint8_t flag_bit(int sequence_byte)
{
    return uint8_t(0x08 >> sequence_byte);
}

}   // namespace

serial_tag make_serial_tag(const uint8_t* sequence, const std::array<uint8_t, 4>& sender)
{
    serial_tag tag;
    tag.bytes[1] = sender[1];
    tag.bytes[2] = sender[2];
    tag.bytes[3] = sender[3];
    for (int i = 0; i < 4; ++i) {
        uint8_t b = sequence[i];
        if (b == 0xFF) {
            b = 0xFE;
            tag.bytes[0] |= flag_bit(i);
        }
        tag.bytes[4 + size_t(i)] = b;
    }
    return tag;
}

std::array<uint8_t, 4> tagged_sequence(const uint8_t* tag)
{
    std::array<uint8_t, 4> sequence{};
    for (int i = 0; i < 4; ++i)
        sequence[size_t(i)] = uint8_t(tag[4 + i] + ((tag[0] & flag_bit(i)) ? 1 : 0));
    return sequence;
}

bool well_formed_tag(const uint8_t* tag)
{
    if (is_service_tag(tag))
        return true;
    if (tag[0] > 0x0F)
        return false;
    for (int i = 0; i < 4; ++i) {
        const uint8_t b = tag[4 + i];
        if (b == 0xFF || ((tag[0] & flag_bit(i)) && b != 0xFE))
            return false;
    }
    return true;
}

bool is_service_tag(const uint8_t* tag)
{
    return std::memcmp(tag, service_tag.bytes.data(), serial_tag::size) == 0;
}
