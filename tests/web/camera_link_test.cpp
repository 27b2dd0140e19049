// The camera link, with the test as the program's loop socket: the
// datagrams it sends, the replies it matches, and the drives it stops.
#include "web/camera_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/file_descriptor.h"

namespace {

using bytes = std::vector<uint8_t>;

uint16_t port_of(int fd)
{
    sockaddr_in address{};
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}

file_descriptor loopback_socket()
{
    file_descriptor fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

struct link_and_program : ::testing::Test {
    file_descriptor program = loopback_socket();   // the program's loop socket
    camera_link link{port_of(program.get()), 0};

    // The next datagram the link sent, or nothing within a second.
    bytes next_datagram()
    {
        pollfd watch{program.get(), POLLIN, 0};
        if (poll(&watch, 1, 1000) != 1)
            return {};
        uint8_t buffer[128];
        const ssize_t got = recv(program.get(), buffer, sizeof buffer, 0);
        return bytes(buffer, buffer + std::max<ssize_t>(got, 0));
    }
    bool nothing_sent()
    {
        pollfd watch{program.get(), POLLIN, 0};
        return poll(&watch, 1, 0) == 0;
    }
    // A reply to sequence from the program's port (or from another socket).
    void reply(uint32_t sequence, bytes visca, int from = -1)
    {
        bytes datagram = {0x01,
                          0x11,
                          0x00,
                          uint8_t(visca.size()),
                          uint8_t(sequence >> 24),
                          uint8_t(sequence >> 16),
                          uint8_t(sequence >> 8),
                          uint8_t(sequence)};
        datagram.insert(datagram.end(), visca.begin(), visca.end());
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port_of(link.descriptor()));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(from < 0 ? program.get() : from, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
               sizeof to);
    }
    // Loopback datagrams are queued by the time sendto returns: the
    // replies sent so far are all there to read.
    void receive(double now)
    {
        pollfd watch{link.descriptor(), POLLIN, 0};
        poll(&watch, 1, 1000);
        link.receive(now);
    }
    std::string log() const { return link.log_json(); }
};

TEST_F(link_and_program, a_command_goes_as_visca_over_ip_and_its_replies_are_shown)
{
    const uint64_t id = link.send("home", visca_commands::home(), 10);
    EXPECT_EQ(next_datagram(), (bytes{0x01, 0x00, 0x00, 0x05, 0, 0, 0, 1, 0x82, 0x01, 0x06, 0x04, 0xFF}));
    EXPECT_NE(log().find("\"id\":" + std::to_string(id) + ",\"name\":\"home\",\"state\":\"sent\""), std::string::npos)
        << log();

    // A reply from anyone but the program is not the camera's.
    const file_descriptor stranger = loopback_socket();
    reply(1, {0xA0, 0x61, 0x02, 0xFF}, stranger.get());
    reply(1, {0xA0, 0x41, 0xFF});
    receive(10.1);
    EXPECT_NE(log().find("\"state\":\"acknowledged\""), std::string::npos) << log();
    reply(1, {0xA0, 0x51, 0xFF});
    receive(10.5);
    EXPECT_NE(log().find("\"state\":\"completed\",\"sent\":10,\"seconds\":0.5"), std::string::npos) << log();
    // Settled: a late error changes nothing.
    reply(1, {0xA0, 0x61, 0x41, 0xFF});
    receive(10.6);
    EXPECT_NE(log().find("completed"), std::string::npos) << log();
}

TEST_F(link_and_program, errors_are_named_and_silence_is_shown)
{
    link.send("white balance one-push trigger", visca_commands::white_balance_one_push_trigger(), 1);
    link.send("preset 1 recall", visca_commands::preset_recall(1), 1);
    link.send("home", visca_commands::home(), 1);
    next_datagram();
    next_datagram();
    next_datagram();
    reply(1, {0xA0, 0x61, 0x41, 0xFF});
    reply(2, {0xA0, 0x41, 0xFF});
    receive(1.1);
    link.receive(1 + camera_link::reply_within + 0.1);
    const std::string json = log();
    EXPECT_NE(json.find("\"white balance one-push trigger\",\"state\":\"error: not executable now\""),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"preset 1 recall\",\"state\":\"acknowledged, no completion\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"home\",\"state\":\"no reply\""), std::string::npos) << json;
    EXPECT_LT(link.next_deadline(), 0);   // nothing waits any more
}

TEST_F(link_and_program, a_held_drive_is_sent_once_and_stopped_when_nobody_holds_it)
{
    const auto drive = visca_commands::zoom(1, 3);
    EXPECT_NE(link.hold_drive("zoom", "zoom in", drive, visca_commands::zoom_stop(), 100), 0u);
    EXPECT_EQ(next_datagram(), (bytes{0x01, 0x00, 0x00, 0x06, 0, 0, 0, 1, 0x82, 0x01, 0x04, 0x07, 0x23, 0xFF}));
    // Held again and again: no new command, the lease renewed each time.
    for (double t = 100.5; t < 103; t += 0.5) {
        EXPECT_EQ(link.hold_drive("zoom", "zoom in", drive, visca_commands::zoom_stop(), t), 0u);
        EXPECT_TRUE(link.check_drives(t + 0.1));
    }
    EXPECT_TRUE(nothing_sent());
    // The next thing to look at: the drive's unanswered command, or its lease.
    EXPECT_DOUBLE_EQ(link.next_deadline(), std::min(100 + camera_link::reply_within, 102.5 + camera_link::drive_lease));
    // Then nobody: stopped within the lease, and once.
    EXPECT_TRUE(link.check_drives(102.5 + camera_link::drive_lease - 0.01));
    EXPECT_FALSE(link.check_drives(102.5 + camera_link::drive_lease));
    EXPECT_EQ(next_datagram(), (bytes{0x01, 0x00, 0x00, 0x06, 0, 0, 0, 2, 0x82, 0x01, 0x04, 0x07, 0x00, 0xFF}));
    EXPECT_FALSE(link.check_drives(110));
    EXPECT_TRUE(nothing_sent());
    EXPECT_NE(log().find("zoom stop (released by nobody)"), std::string::npos) << log();
}

TEST_F(link_and_program, a_changed_drive_is_sent_and_a_release_always_stops)
{
    link.hold_drive("pan-tilt", "right", visca_commands::pan_tilt(1, 0, 5), visca_commands::pan_tilt_stop(), 1);
    link.hold_drive("pan-tilt", "up", visca_commands::pan_tilt(0, 1, 5), visca_commands::pan_tilt_stop(), 1.1);
    link.hold_drive("zoom", "zoom out", visca_commands::zoom(-1, 7), visca_commands::zoom_stop(), 1.2);
    EXPECT_EQ(next_datagram().back(), 0xFF);
    EXPECT_EQ(next_datagram(),
              (bytes{0x01, 0x00, 0x00, 0x09, 0, 0, 0, 2, 0x82, 0x01, 0x06, 0x01, 5, 5, 0x03, 0x01, 0xFF}));
    EXPECT_EQ(next_datagram(), (bytes{0x01, 0x00, 0x00, 0x06, 0, 0, 0, 3, 0x82, 0x01, 0x04, 0x07, 0x37, 0xFF}));
    link.release_drive("pan-tilt", 1.3);
    EXPECT_EQ(next_datagram(),
              (bytes{0x01, 0x00, 0x00, 0x09, 0, 0, 0, 4, 0x82, 0x01, 0x06, 0x01, 1, 1, 0x03, 0x03, 0xFF}));
    // The zoom is still held; a release of what is not moving is sent too.
    EXPECT_TRUE(link.check_drives(1.4));
    link.release_drive("zoom", 1.5);
    link.release_drive("zoom", 1.6);
    EXPECT_EQ(next_datagram().size(), 14u);
    EXPECT_EQ(next_datagram().size(), 14u);
    EXPECT_FALSE(link.check_drives(10));
}

// The bytes of each message the page sends, camera address 2.
TEST(visca_commands, bytes_of_each_message)
{
    struct {
        bytes got, expected;
    } table[] = {
        {visca_commands::pan_tilt(-1, 1, 30), {0x82, 0x01, 0x06, 0x01, 0x18, 0x17, 0x01, 0x01, 0xFF}},
        {visca_commands::pan_tilt(1, -1, 0), {0x82, 0x01, 0x06, 0x01, 0x01, 0x01, 0x02, 0x02, 0xFF}},
        {visca_commands::pan_tilt(0, -1, 12), {0x82, 0x01, 0x06, 0x01, 0x0C, 0x0C, 0x03, 0x02, 0xFF}},
        {visca_commands::pan_tilt_stop(), {0x82, 0x01, 0x06, 0x01, 0x01, 0x01, 0x03, 0x03, 0xFF}},
        {visca_commands::zoom(1, 9), {0x82, 0x01, 0x04, 0x07, 0x27, 0xFF}},
        {visca_commands::zoom(-1, 0), {0x82, 0x01, 0x04, 0x07, 0x30, 0xFF}},
        {visca_commands::zoom_stop(), {0x82, 0x01, 0x04, 0x07, 0x00, 0xFF}},
        {visca_commands::home(), {0x82, 0x01, 0x06, 0x04, 0xFF}},
        {visca_commands::preset_recall(1), {0x82, 0x01, 0x04, 0x3F, 0x02, 0x00, 0xFF}},
        {visca_commands::preset_store(8), {0x82, 0x01, 0x04, 0x3F, 0x01, 0x07, 0xFF}},
        {visca_commands::preset_recall(99), {0x82, 0x01, 0x04, 0x3F, 0x02, 0x07, 0xFF}},
        {visca_commands::white_balance_one_push_mode(), {0x82, 0x01, 0x04, 0x35, 0x03, 0xFF}},
        {visca_commands::white_balance_one_push_trigger(), {0x82, 0x01, 0x04, 0x10, 0x05, 0xFF}},
    };
    for (size_t i = 0; i < std::size(table); ++i)
        EXPECT_EQ(table[i].got, table[i].expected) << "row " << i;
}

}   // namespace
