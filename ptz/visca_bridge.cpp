#include "ptz/visca_bridge.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "base/format_text.h"
#include "ptz/serial_tag.h"
#include "ptz/visca_encoder.h"

namespace {

constexpr uint8_t visca_terminator = 0xFF;
constexpr uint8_t type_command = 0x01;
constexpr uint8_t type_control = 0x02;
constexpr uint8_t control_reply = 0x01;   // type 02 01
constexpr uint8_t reply_from_camera_1 = 0x90;
constexpr uint8_t reply_from_camera_2 = 0xA0;
constexpr std::array<uint8_t, 4> loopback{127, 0, 0, 1};
constexpr char enquiry[] = "ENQ:network";
constexpr size_t enquiry_length = sizeof enquiry - 1;
constexpr uint8_t field_separator = 0xFF;
constexpr uint8_t reply_start = 0x02;
constexpr uint8_t reply_end = 0x03;
constexpr size_t max_visca = visca_message::max_size;
constexpr size_t shortest_reply = 3;   // x0 4y FF

// One VISCA message of n bytes: at most 16, and 0xFF only as the last.
bool single_visca_message(const uint8_t* message, size_t n)
{
    return n >= 1 && n <= max_visca && message[n - 1] == visca_terminator &&
        std::find(message, message + n - 1, visca_terminator) == message + n - 1;
}

// An acknowledgement (4y), a completion (5y) or an error (6y).
bool reply_kind(uint8_t b)
{
    const uint8_t kind = b >> 4;
    return kind == 0x4 || kind == 0x5 || kind == 0x6;
}

bool text_at(const uint8_t* datagram, size_t n, size_t at, const char* text)
{
    const size_t length = std::strlen(text);
    return n >= at + length && std::memcmp(datagram + at, text, length) == 0;
}

// Appends to a network-settings answer.
class answer_writer {
public:
    explicit answer_writer(uint8_t* buffer) : out(buffer) {}

    void byte(uint8_t b) { out[length++] = b; }

    void field(std::string_view text)
    {
        std::memcpy(out + length, text.data(), text.size());
        length += text.size();
    }

    void mac(const char* label, const std::array<uint8_t, 6>& m)
    {
        field(format_text("%s:%02x-%02x-%02x-%02x-%02x-%02x", label, m[0], m[1], m[2], m[3], m[4], m[5]));
    }

    void dotted(const char* label, const std::array<uint8_t, 4>& a)
    {
        field(format_text("%s:%u.%u.%u.%u", label, a[0], a[1], a[2], a[3]));
    }

    size_t size() const { return length; }

private:
    uint8_t* out;
    size_t length = 0;
};

}   // namespace

command_action classify_command(const uint8_t* datagram, size_t n, uint8_t camera_header)
{
    if (n <= visca_ip_header)
        return command_action::ignore;
    // A control reply is never acknowledged: two devices would acknowledge
    // each other's acknowledgements without end.
    if (datagram[0] == type_control)
        return datagram[1] == control_reply ? command_action::ignore : command_action::acknowledge;
    const uint8_t* message = datagram + visca_ip_header;
    if (datagram[0] == type_command && message[0] == camera_header &&
        single_visca_message(message, n - visca_ip_header))
        return command_action::forward;
    return command_action::ignore;
}

void tag_command(uint8_t* datagram, const std::array<uint8_t, 4>& sender)
{
    const serial_tag tag = make_serial_tag(datagram + 4, sender);
    std::memcpy(datagram, tag.bytes.data(), serial_tag::size);
}

size_t make_control_ack(uint8_t* out)
{
    static constexpr uint8_t ack[control_ack_size] = {0x02, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01};
    std::memcpy(out, ack, sizeof ack);
    return sizeof ack;
}

reply_route route_reply(const uint8_t* packet, size_t n, const std::array<uint8_t, 4>& sender)
{
    if (n < serial_tag::size + shortest_reply || !well_formed_tag(packet) || is_service_tag(packet))
        return reply_route::drop;
    const uint8_t* reply = packet + serial_tag::size;
    if (!single_visca_message(reply, n - serial_tag::size) || !reply_kind(reply[1]))
        return reply_route::drop;
    const bool local = sender == loopback;
    const uint8_t header = reply[0];
    if (header == reply_from_camera_1 && !local)
        return reply_route::network;
    if (header == reply_from_camera_2 && local)
        return reply_route::loop;
    return reply_route::drop;
}

size_t make_reply_datagram(const uint8_t* packet, size_t n, uint8_t* out)
{
    const size_t payload = n - serial_tag::size;
    out[0] = 0x01;
    out[1] = 0x11;
    out[2] = uint8_t(payload >> 8);
    out[3] = uint8_t(payload);
    const std::array<uint8_t, 4> sequence = tagged_sequence(packet);
    std::memcpy(out + 4, sequence.data(), sequence.size());
    std::memcpy(out + serial_tag::size, packet + serial_tag::size, payload);
    return n;
}

bool is_network_enquiry(const uint8_t* datagram, size_t n)
{
    return n >= 1 + enquiry_length && std::memcmp(datagram + 1, enquiry, enquiry_length) == 0;
}

bool is_network_answer(const uint8_t* datagram, size_t n)
{
    static constexpr char info[] = "INFO:network";
    const uint8_t* end = datagram + n;
    return text_at(datagram, n, 1, "ACK:") || text_at(datagram, n, 1, "NAK:") ||
        std::search(datagram, end, info, info + sizeof info - 1) != end;
}

settings_answer answer_for(const uint8_t* datagram, size_t n)
{
    if (n == 0 || is_network_answer(datagram, n))
        return settings_answer::none;
    return is_network_enquiry(datagram, n) ? settings_answer::reply : settings_answer::nak;
}

size_t make_network_reply(const network_identity& identity, const char* host_name, uint8_t* out)
{
    answer_writer w(out);
    w.byte(reply_start);
    w.mac("MAC", identity.mac_address);
    w.byte(field_separator);
    w.field("INFO:network");
    w.byte(field_separator);
    w.field("MODEL:DIZIZI");
    w.byte(field_separator);
    w.field(format_text("SOFTVERSION:%.21s", identity.version));
    w.byte(field_separator);
    w.dotted("IPADR", identity.ip_address);
    w.byte(field_separator);
    w.dotted("MASK", identity.netmask);
    w.byte(field_separator);
    w.dotted("GATEWAY", identity.gateway);
    w.byte(field_separator);
    w.field(format_text("NAME:%.8s", host_name));
    w.byte(field_separator);
    w.field("WRITE:on");
    w.byte(field_separator);
    w.byte(reply_end);
    return w.size();
}

size_t make_nak_reply(const network_identity& identity, uint8_t* out)
{
    answer_writer w(out);
    w.byte(reply_start);
    w.mac("NAK", identity.mac_address);
    w.byte(field_separator);
    w.byte(reply_end);
    return w.size();
}
