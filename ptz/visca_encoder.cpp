#include "ptz/visca_encoder.h"

#include <cmath>
#include <initializer_list>

namespace {

visca_message message(std::initializer_list<uint8_t> bytes)
{
    visca_message result;
    for (uint8_t b : bytes)
        result.bytes[result.size++] = b;
    return result;
}

// trunc(x) bounded to lo..hi, without the undefined conversion of a float
// that does not fit; NaN gives 0.
int truncated(float x, int lo, int hi)
{
    if (std::isnan(x))
        return 0;
    if (x <= float(lo))
        return lo;
    if (x >= float(hi))
        return hi;
    return int(x);
}

// Puts the four hex digits of n (most significant first) at bytes[at].
void put_digits4(visca_message& m, size_t at, int n)
{
    for (int i = 0; i < 4; ++i)
        m.bytes[at + size_t(i)] = uint8_t((n >> (12 - 4 * i)) & 0x0F);
}

// Puts the two hex digits of n (high first) at bytes[at].
void put_digits2(visca_message& m, size_t at, int n)
{
    m.bytes[at] = uint8_t((n >> 4) & 0x0F);
    m.bytes[at + 1] = uint8_t(n & 0x0F);
}

uint8_t direction(int speed)
{
    return speed > 0 ? 0x01 : speed < 0 ? 0x02 : 0x03;
}

visca_message gain(uint8_t command, float value)
{
    visca_message m = message({0x82, 0x01, 0x04, command, 0x00, 0x00, 0x00, 0x00, 0xFF});
    put_digits2(m, 6, truncated(value * 255.0f, 0, 255));
    return m;
}

}   // namespace

visca_message visca_pan_tilt_drive(float pan, float tilt)
{
    const int p = truncated(pan * 24.0f, -24, 24);
    const int t = truncated(tilt * 23.0f, -24, 24);
    return message(
        {0x82, 0x01, 0x06, 0x01, uint8_t(std::abs(p)), uint8_t(std::abs(t)), direction(p), direction(t), 0xFF});
}

visca_message visca_zoom(float speed)
{
    const int z = truncated(speed * 15.0f, -8, 8);
    uint8_t drive = 0x00;
    if (z > 7)
        drive = 0x27;
    else if (z < -7)
        drive = 0x37;
    else if (z > 0)
        drive = uint8_t(0x20 + z);
    else if (z < 0)
        drive = uint8_t(0x30 - z);
    return message({0x82, 0x01, 0x04, 0x07, drive, 0xFF});
}

visca_message visca_zoom_direct(float position)
{
    visca_message m = message({0x82, 0x01, 0x04, 0x47, 0x00, 0x00, 0x00, 0x00, 0xFF});
    put_digits4(m, 4, truncated(position * float(0x4000), 0, 0x4000));
    return m;
}

visca_message visca_memory(memory_action action, int index)
{
    // Bytes from 0x80 up are headers and terminators on the line.
    const uint8_t number = uint8_t(index < 0 ? 0 : index > 0x7F ? 0x7F : index);
    return message({0x82, 0x01, 0x04, 0x3F, uint8_t(action), number, 0xFF});
}

visca_message visca_flip(bool on)
{
    return message({0x82, 0x01, 0x04, 0x66, uint8_t(on ? 0x02 : 0x03), 0xFF});
}

visca_message visca_tally(bool on)
{
    return message({0x82, 0x01, 0x7E, 0x01, 0x0A, 0x00, uint8_t(on ? 0x02 : 0x03), 0xFF});
}

visca_message visca_focus_mode(bool manual)
{
    return message({0x82, 0x01, 0x04, 0x38, uint8_t(manual ? 0x03 : 0x02), 0xFF});
}

visca_message visca_focus_direct(float distance)
{
    visca_message m = message({0x82, 0x01, 0x04, 0x48, 0x00, 0x00, 0x00, 0x00, 0xFF});
    put_digits4(m, 4, truncated(distance * float(0xE000), 0, 0xE000) + 0x1000);
    return m;
}

visca_message visca_white_balance(int mode)
{
    if (mode == white_balance_mode::one_push_trigger)
        return message({0x82, 0x01, 0x04, 0x10, 0x05, 0xFF});
    return message({0x82, 0x01, 0x04, 0x35, uint8_t(mode & 0x0F), 0xFF});
}

visca_message visca_red_gain(float value)
{
    return gain(0x43, value);
}

visca_message visca_blue_gain(float value)
{
    return gain(0x44, value);
}

visca_message visca_ae_mode(bool manual)
{
    return message({0x82, 0x01, 0x04, 0x39, uint8_t(manual ? 0x03 : 0x00), 0xFF});
}

visca_message visca_iris(float value)
{
    static constexpr uint8_t positions[14] = {0x00, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A,
                                              0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11};
    visca_message m = message({0x82, 0x01, 0x04, 0x4B, 0x00, 0x00, 0x00, 0x00, 0xFF});
    put_digits2(m, 6, positions[truncated(value * 13.0f, 0, 13)]);
    return m;
}
