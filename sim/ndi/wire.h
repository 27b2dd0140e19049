// The stand-in sender's wire protocol, shared by the stand-in, ndi-monitor
// and the tests. README.md beside this file describes it for people.
//
// A receiver opens a TCP connection to the sender. Both directions carry the
// same framing: a 16-byte header followed by body_size bytes of body. Every
// integer is little-endian; floats travel as their IEEE-754 bit pattern.
//
//   header: u32 magic "NSIM" | u16 type | u16 version | u32 body_size | u32 dropped
//
// dropped is used only on media messages from the sender: how many media
// frames this receiver lost, because it read too slowly, just before this
// one. Everywhere else it is 0.
//
// Sender to receiver, in this order on every connection:
//   hello               u32 protocol version, then the source name (UTF-8)
//   connection_metadata i64 timecode, then the XML text (no NUL)
//   video / audio       the media frames, in the order they were sent
//   connection metadata added later arrives between media frames.
// Receiver to sender, at any time:
//   metadata            i64 timecode, then the XML text (no NUL)
//   tally               u8 on_program, u8 on_preview
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ndi_wire {

constexpr uint32_t magic = 0x4D49534E;   // "NSIM" in stream order
constexpr uint16_t protocol_version = 1;
constexpr uint16_t default_port = 5960;
constexpr size_t header_size = 16;

// Bodies larger than these end the connection: they are garbage, not data.
constexpr uint32_t max_sender_body = 64u << 20;     // one coded picture or audio block
constexpr uint32_t max_receiver_body = 64u << 10;   // one metadata document

enum class message_type : uint16_t {
    hello = 1,
    connection_metadata = 2,
    video = 3,
    audio = 4,
    metadata = 0x81,
    tally = 0x82,
};

inline bool is_media(message_type type)
{
    return type == message_type::video || type == message_type::audio;
}

struct header {
    message_type type{};
    uint32_t body_size = 0;
    uint32_t dropped = 0;
};

// The fixed part of a video body; the coded picture follows it.
struct video_fields {
    int32_t xres = 0;
    int32_t yres = 0;
    uint32_t fourcc = 0;
    int32_t frame_rate_n = 0;
    int32_t frame_rate_d = 0;
    float picture_aspect_ratio = 0;
    int32_t frame_format_type = 0;
    int64_t timecode = 0;    // 100 ns units
    int64_t timestamp = 0;   // 100 ns units, 0 when the sender gave none
    static constexpr size_t size = 48;
};

// The fixed part of an audio body; channels × samples interleaved i32 follow.
struct audio_fields {
    int32_t sample_rate = 0;
    int32_t channels = 0;
    int32_t samples = 0;   // per channel
    int32_t reference_level = 0;
    int64_t timecode = 0;
    static constexpr size_t size = 24;
};

// Appends little-endian values to a byte buffer.
class writer {
public:
    explicit writer(std::vector<uint8_t>& buffer) : out(buffer) {}

    void u8(uint8_t v) { out.push_back(v); }
    void u16(uint16_t v) { put(v, 2); }
    void u32(uint32_t v) { put(v, 4); }
    void i32(int32_t v) { put(uint32_t(v), 4); }
    void i64(int64_t v) { put(uint64_t(v), 8); }
    void f32(float v)
    {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        put(bits, 4);
    }
    void bytes(const void* data, size_t size)
    {
        auto p = static_cast<const uint8_t*>(data);
        out.insert(out.end(), p, p + size);
    }

private:
    void put(uint64_t v, int n)
    {
        for (int i = 0; i < n; ++i)
            out.push_back(uint8_t(v >> (8 * i)));
    }
    std::vector<uint8_t>& out;
};

// Reads little-endian values from a byte range; a read past the end sets
// failed and yields zeros, so a short body is detected once, at the end.
class reader {
public:
    reader(const uint8_t* bytes, size_t length) : data(bytes), size(length) {}

    uint8_t u8() { return uint8_t(get(1)); }
    uint16_t u16() { return uint16_t(get(2)); }
    uint32_t u32() { return uint32_t(get(4)); }
    int32_t i32() { return int32_t(uint32_t(get(4))); }
    int64_t i64() { return int64_t(get(8)); }
    float f32()
    {
        uint32_t bits = uint32_t(get(4));
        float v;
        std::memcpy(&v, &bits, 4);
        return v;
    }
    size_t remaining() const { return size - position; }
    const uint8_t* current() const { return data + position; }
    bool failed() const { return bad; }

private:
    uint64_t get(int n)
    {
        if (size - position < size_t(n)) {
            bad = true;
            position = size;
            return 0;
        }
        uint64_t v = 0;
        for (int i = 0; i < n; ++i)
            v |= uint64_t(data[position + i]) << (8 * i);
        position += n;
        return v;
    }
    const uint8_t* data;
    size_t size;
    size_t position = 0;
    bool bad = false;
};

inline void encode_header(const header& h, uint8_t (&out)[header_size])
{
    std::vector<uint8_t> bytes;
    writer w(bytes);
    w.u32(magic);
    w.u16(uint16_t(h.type));
    w.u16(protocol_version);
    w.u32(h.body_size);
    w.u32(h.dropped);
    std::memcpy(out, bytes.data(), header_size);
}

// Empty when the bytes are not a header of this protocol.
inline std::optional<header> decode_header(const uint8_t* in)
{
    reader r(in, header_size);
    if (r.u32() != magic)
        return std::nullopt;
    header h;
    h.type = message_type(r.u16());
    if (r.u16() != protocol_version)
        return std::nullopt;
    h.body_size = r.u32();
    h.dropped = r.u32();
    return h;
}

inline void put_video_fields(writer& w, const video_fields& v)
{
    w.i32(v.xres);
    w.i32(v.yres);
    w.u32(v.fourcc);
    w.i32(v.frame_rate_n);
    w.i32(v.frame_rate_d);
    w.f32(v.picture_aspect_ratio);
    w.i32(v.frame_format_type);
    w.u32(0);
    w.i64(v.timecode);
    w.i64(v.timestamp);
}

inline video_fields get_video_fields(reader& r)
{
    video_fields v;
    v.xres = r.i32();
    v.yres = r.i32();
    v.fourcc = r.u32();
    v.frame_rate_n = r.i32();
    v.frame_rate_d = r.i32();
    v.picture_aspect_ratio = r.f32();
    v.frame_format_type = r.i32();
    r.u32();
    v.timecode = r.i64();
    v.timestamp = r.i64();
    return v;
}

inline void put_audio_fields(writer& w, const audio_fields& a)
{
    w.i32(a.sample_rate);
    w.i32(a.channels);
    w.i32(a.samples);
    w.i32(a.reference_level);
    w.i64(a.timecode);
}

inline audio_fields get_audio_fields(reader& r)
{
    audio_fields a;
    a.sample_rate = r.i32();
    a.channels = r.i32();
    a.samples = r.i32();
    a.reference_level = r.i32();
    a.timecode = r.i64();
    return a;
}

// Body of a metadata or connection_metadata message.
inline std::vector<uint8_t> text_body(int64_t timecode, std::string_view text)
{
    std::vector<uint8_t> body;
    writer w(body);
    w.i64(timecode);
    w.bytes(text.data(), text.size());
    return body;
}

// A whole message (header and body) as one buffer, for the receiving side
// and the tests; the sender writes header and shared body separately.
inline std::vector<uint8_t> frame_message(message_type type, const std::vector<uint8_t>& body)
{
    uint8_t head[header_size];
    encode_header({type, uint32_t(body.size()), 0}, head);
    std::vector<uint8_t> message(header_size + body.size());
    std::memcpy(message.data(), head, header_size);
    if (!body.empty())
        std::memcpy(message.data() + header_size, body.data(), body.size());
    return message;
}

inline std::string fourcc_text(uint32_t fourcc)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = char(fourcc >> (8 * i));
        text += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return text;
}

}   // namespace ndi_wire
