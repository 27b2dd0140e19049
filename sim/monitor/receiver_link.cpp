#include "sim/monitor/receiver_link.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ndi_monitor {

std::optional<endpoint> endpoint::parse(std::string_view text)
{
    endpoint result;
    std::string_view port_text;
    if (!text.empty() && text.front() == '[') {
        size_t close = text.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        result.host = std::string(text.substr(1, close - 1));
        std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':')
                return std::nullopt;
            port_text = rest.substr(1);
        }
    } else {
        size_t colon = text.rfind(':');
        if (colon != std::string_view::npos && text.find(':') == colon) {
            result.host = std::string(text.substr(0, colon));
            port_text = text.substr(colon + 1);
        } else {
            result.host = std::string(text);
        }
    }
    if (result.host.empty())
        return std::nullopt;
    if (!port_text.empty()) {
        std::string digits(port_text);
        char* end = nullptr;
        long port = std::strtol(digits.c_str(), &end, 10);
        if (*end != '\0' || port <= 0 || port > 65535)
            return std::nullopt;
        result.port = uint16_t(port);
    } else if (text.back() == ':') {
        return std::nullopt;
    }
    return result;
}

std::string endpoint::text() const
{
    bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::optional<receiver_link> receiver_link::connect(const endpoint& where, std::string& error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string port = std::to_string(where.port);
    int status = getaddrinfo(where.host.c_str(), port.c_str(), &hints, &found);
    if (status != 0) {
        error = gai_strerror(status);
        return std::nullopt;
    }
    std::optional<receiver_link> link;
    for (addrinfo* a = found; a != nullptr && !link; a = a->ai_next) {
        file_descriptor fd(socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        if (!fd) {
            error = std::strerror(errno);
            continue;
        }
        if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) != 0) {
            error = std::strerror(errno);
            continue;
        }
        int one = 1;
        setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        link.emplace(receiver_link(std::move(fd)));
    }
    freeaddrinfo(found);
    return link;
}

bool receiver_link::read_into(message_stream& stream)
{
    uint8_t chunk[256 * 1024];
    for (;;) {
        ssize_t got = recv(socket_fd.get(), chunk, sizeof chunk, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        stream.feed(chunk, size_t(got));
        return true;
    }
}

bool receiver_link::send_metadata(std::string_view text, int64_t timecode)
{
    return send_all(ndi_wire::frame_message(ndi_wire::message_type::metadata, ndi_wire::text_body(timecode, text)));
}

bool receiver_link::send_tally(bool on_program, bool on_preview)
{
    std::vector<uint8_t> body{uint8_t(on_program ? 1 : 0), uint8_t(on_preview ? 1 : 0)};
    return send_all(ndi_wire::frame_message(ndi_wire::message_type::tally, body));
}

bool receiver_link::send_all(const std::vector<uint8_t>& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t sent = ::send(socket_fd.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        done += size_t(sent);
    }
    return true;
}

}   // namespace ndi_monitor
