// The receiving end of one connection to a stand-in sender: connects,
// reads the sender's messages, and sends metadata and tally upstream.
//
// Thread rules: one owner thread; the socket is closed by the destructor.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/file_descriptor.h"
#include "sim/monitor/message_stream.h"

namespace ndi_monitor {

// "HOST", "HOST:PORT" or "[IPv6]:PORT"; the port defaults to 5960.
struct endpoint {
    std::string host;
    uint16_t port = ndi_wire::default_port;

    static std::optional<endpoint> parse(std::string_view text);
    std::string text() const;
};

class receiver_link {
public:
    // One attempt at every address of the host. Empty, with the reason in
    // error, when none took the connection.
    static std::optional<receiver_link> connect(const endpoint& where, std::string& error);

    int fd() const { return socket_fd.get(); }

    // Reads what the socket holds now (blocking until something arrives)
    // into stream. False on end of stream or a socket error.
    bool read_into(message_stream& stream);

    bool send_metadata(std::string_view text, int64_t timecode = 0);
    bool send_tally(bool on_program, bool on_preview);

private:
    explicit receiver_link(file_descriptor connected) : socket_fd(std::move(connected)) {}
    bool send_all(const std::vector<uint8_t>& bytes);

    file_descriptor socket_fd;
};

}   // namespace ndi_monitor
