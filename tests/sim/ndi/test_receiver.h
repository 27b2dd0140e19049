// A receiver for tests: connects to a stand-in sender on loopback and hands
// out its messages one by one, each within a timeout.
#pragma once

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>

#include "sim/monitor/message_stream.h"
#include "sim/monitor/receiver_link.h"

namespace ndi_test {

using ndi_monitor::received_message;
using ndi_wire::message_type;

class test_receiver {
public:
    explicit test_receiver(int port) : link(connect(port)) {}

    // The next message, or nothing when none came within timeout (or the
    // sender closed the connection: see closed()).
    std::optional<received_message> next(std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        received_message message;
        for (;;) {
            auto status = stream.next(message);
            if (status == ndi_monitor::message_stream::result::message)
                return message;
            if (status == ndi_monitor::message_stream::result::garbage)
                throw std::runtime_error("the sender broke the framing");
            if (ended)
                return std::nullopt;
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            pollfd watched{link.fd(), POLLIN, 0};
            if (poll(&watched, 1, int(left.count())) > 0 && !link.read_into(stream))
                ended = true;
        }
    }

    // The next message of that type, skipping others.
    std::optional<received_message> next_of(message_type type,
                                            std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            auto message = next(std::max(left, std::chrono::milliseconds(0)));
            if (!message || message->header.type == type)
                return message;
        }
    }

    bool closed() const { return ended; }
    ndi_monitor::receiver_link& upstream() { return link; }

private:
    static ndi_monitor::receiver_link connect(int port)
    {
        std::string error;
        auto link = ndi_monitor::receiver_link::connect({"127.0.0.1", uint16_t(port)}, error);
        if (!link)
            throw std::runtime_error("cannot connect: " + error);
        return std::move(*link);
    }

    ndi_monitor::receiver_link link;
    ndi_monitor::message_stream stream;
    bool ended = false;
};

// The text of a metadata or connection_metadata body.
inline std::string body_text(const received_message& message)
{
    return std::string(message.body.begin() + 8, message.body.end());
}

}   // namespace ndi_test
