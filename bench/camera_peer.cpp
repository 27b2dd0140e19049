// bench-camera-peer --out FILE [--commands N] [--seed S]
//
// The LAN side of bench-camera, run by virtual-board on the LAN
// (192.168.5.7): a receiver of the appliance's NDI source that sends N
// zoom documents as PTZ metadata, one every 40-50 ms (so that each finds
// the command queue idle: the 30 ms pause after a command is not part of
// the path measured), then a VISCA-over-IP controller on port 52381 that
// sends N pan-tilt stops, one every 20-25 ms, and takes the replies. It
// writes when it sent and received each (camera_paths.h) to FILE. All the
// while it reads and drops the media the source sends, as a receiver must.
// The gaps are drawn at random, so as not to beat in time with the
// appliance's own periods; the seed is printed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>

#include "bench/camera_paths.h"
#include "bench/report.h"
#include "sim/monitor/receiver_link.h"

using namespace bench;
using namespace ndi_monitor;
using steady = std::chrono::steady_clock;

namespace {

const char* usage = "usage: bench-camera-peer --out FILE [--commands N] [--seed S]\n";

constexpr uint16_t visca_port = 52381;

class peer {
public:
    peer(receiver_link connection, int visca_socket, FILE* record)
        : link(std::move(connection)), visca(visca_socket), out(record)
    {
    }

    // Serves the connection and the VISCA socket until `until`; false when
    // the source went away.
    bool serve_until(steady::time_point until)
    {
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - steady::now()).count();
            if (left <= 0)
                return true;
            pollfd watched[2] = {{link.fd(), POLLIN, 0}, {visca, POLLIN, 0}};
            if (poll(watched, 2, int(left)) <= 0)
                continue;
            if (watched[1].revents & POLLIN)
                take_reply();
            if (watched[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                if (!link.read_into(stream))
                    return false;
                while (stream.next(message) == message_stream::result::message)
                    greeted = greeted || message.header.type == ndi_wire::message_type::hello;
            }
        }
    }

    bool wait_for_hello()
    {
        const auto give_up = steady::now() + std::chrono::seconds(30);
        while (!greeted && steady::now() < give_up)
            if (!serve_until(steady::now() + std::chrono::milliseconds(50)))
                return false;
        return greeted;
    }

    void send_metadata(uint32_t k)
    {
        const int64_t at = wall_clock_ns();
        link.send_metadata(zoom_document(k));
        note({"metadata", k, at, ""});
    }

    void send_visca(uint32_t sequence)
    {
        const std::vector<uint8_t> datagram = visca_datagram(sequence);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(visca_port);
        inet_pton(AF_INET, "192.168.5.20", &to.sin_addr);
        const int64_t at = wall_clock_ns();
        sendto(visca, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        note({"visca_sent", sequence, at, ""});
    }

private:
    void take_reply()
    {
        uint8_t datagram[1000];
        const ssize_t got = recv(visca, datagram, sizeof datagram, 0);
        const int64_t at = wall_clock_ns();
        if (got <= 8 || datagram[0] != 0x01 || datagram[1] != 0x11)
            return;
        const uint32_t sequence =
            uint32_t(datagram[4]) << 24 | uint32_t(datagram[5]) << 16 | uint32_t(datagram[6]) << 8 | datagram[7];
        note({"visca_reply", sequence, at, hex_text({datagram + 8, datagram + got})});
    }

    void note(const peer_record& record) { std::fprintf(out, "%s\n", peer_line(record).c_str()); }

    receiver_link link;
    const int visca;
    FILE* const out;
    message_stream stream;
    received_message message;
    bool greeted = false;
};

}   // namespace

int main(int argc, char** argv)
{
    const arguments args(argc, argv, {{"out", ""}, {"commands", "1000"}, {"seed", "0"}}, usage);
    if (args.text("out").empty()) {
        std::fprintf(stderr, "%s", usage);
        return 2;
    }
    const uint32_t commands = uint32_t(args.number("commands"));
    if (commands > 1024) {
        std::fprintf(stderr, "bench-camera-peer: at most 1024 commands (the zoom positions must differ)\n");
        return 2;
    }
    const uint64_t given_seed = std::strtoull(args.text("seed").c_str(), nullptr, 10);
    const uint64_t seed = given_seed ? given_seed : uint64_t(steady::now().time_since_epoch().count());
    std::fprintf(stderr, "bench-camera-peer: seed %llu\n", (unsigned long long)seed);
    std::mt19937_64 random(seed);

    FILE* out = std::fopen(args.text("out").c_str(), "w");
    const int visca = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in here{};
    here.sin_family = AF_INET;
    here.sin_port = htons(visca_port);   // where the appliance sends replies
    if (!out || visca < 0 || bind(visca, reinterpret_cast<sockaddr*>(&here), sizeof here) != 0) {
        std::perror("bench-camera-peer");
        return 1;
    }
    std::string error;
    std::optional<receiver_link> link;
    for (int attempt = 0; attempt < 600 && !link; ++attempt) {
        link = receiver_link::connect(*endpoint::parse("192.168.5.20"), error);
        if (!link)
            usleep(50000);
    }
    if (!link) {
        std::fprintf(stderr, "bench-camera-peer: cannot connect: %s\n", error.c_str());
        return 1;
    }
    peer p(std::move(*link), visca, out);
    if (!p.wait_for_hello()) {
        std::fprintf(stderr, "bench-camera-peer: no hello from the source\n");
        return 1;
    }
    // The appliance settles: its video running, the camera's first replies in.
    p.serve_until(steady::now() + std::chrono::seconds(2));

    // Sending times on a schedule of their own, so that a late wake-up does
    // not push the later ones back.
    auto next = steady::now();
    auto after = [&](int low_ms, int spread_ms) {
        next += std::chrono::microseconds(low_ms * 1000 + int64_t(random() % uint64_t(spread_ms * 1000)));
        return next;
    };
    bool open = true;
    for (uint32_t i = 0; open && i < commands; ++i)
        if ((open = p.serve_until(after(40, 10))))
            p.send_metadata(16 * i + 8);   // positions apart, each exact
    open = open && p.serve_until(after(200, 1));
    for (uint32_t i = 0; open && i < commands; ++i)
        if ((open = p.serve_until(after(20, 5))))
            p.send_visca(sequence_number(i + 1));
    if (open)
        p.serve_until(after(500, 1));   // the last replies
    std::fclose(out);
    close(visca);
    return 0;
}
