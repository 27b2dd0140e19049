#include "sim/monitor/message_stream.h"

namespace ndi_monitor {

void message_stream::feed(const uint8_t* data, size_t size)
{
    // Taken bytes are dropped lazily, once they outweigh what is left.
    if (start > 0 && start >= buffer.size() - start) {
        buffer.erase(buffer.begin(), buffer.begin() + std::ptrdiff_t(start));
        start = 0;
    }
    buffer.insert(buffer.end(), data, data + size);
}

message_stream::result message_stream::next(received_message& out)
{
    if (broken)
        return result::garbage;
    if (buffered() < ndi_wire::header_size)
        return result::need_more;

    auto header = ndi_wire::decode_header(buffer.data() + start);
    if (!header || header->body_size > max_body) {
        broken = true;
        return result::garbage;
    }
    if (buffered() < ndi_wire::header_size + header->body_size)
        return result::need_more;

    const uint8_t* body = buffer.data() + start + ndi_wire::header_size;
    out.header = *header;
    out.body.assign(body, body + header->body_size);
    start += ndi_wire::header_size + header->body_size;
    return result::message;
}

}   // namespace ndi_monitor
