// Cuts the byte stream from a sender into whole messages of the stand-in's
// wire protocol (sim/ndi/wire.h), checking framing and sizes as it goes.
//
// Thread rules: none; one owner feeds and takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/ndi/wire.h"

namespace ndi_monitor {

struct received_message {
    ndi_wire::header header;
    std::vector<uint8_t> body;
};

class message_stream {
public:
    enum class result { message, need_more, garbage };

    explicit message_stream(uint32_t body_limit = ndi_wire::max_sender_body) : max_body(body_limit) {}

    void feed(const uint8_t* data, size_t size);

    // message: out holds the next whole message. garbage: the stream is not
    // this protocol, or announces an oversized body; it stays broken.
    result next(received_message& out);

    // Bytes fed but not yet taken as messages.
    size_t buffered() const { return buffer.size() - start; }

private:
    uint32_t max_body;
    std::vector<uint8_t> buffer;
    size_t start = 0;
    bool broken = false;
};

}   // namespace ndi_monitor
