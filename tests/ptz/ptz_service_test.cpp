// The ptz service as a whole, with its four threads, in a network namespace
// of the test's own (eth0 a veth end at 10.77.0.5/24) and with a
// pseudo-terminal standing in for the camera's serial line. As root, or in
// an unprivileged user namespace of its own; skips where neither is allowed.
#include "ptz/ptz.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/utilities.h"
#include "tests/ptz/hex.h"
#include "tests/support/debug_capture.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes parse(const std::string& text)
{
    bytes out;
    for (size_t i = 0; i < text.size(); i += 3)
        out.push_back(uint8_t(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

// A UDP socket on 127.0.0.1 at port (0: any).
class loop_peer {
public:
    explicit loop_peer(uint16_t port, uint32_t address = INADDR_LOOPBACK) : fd(socket(AF_INET, SOCK_DGRAM, 0))
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(address);
        a.sin_port = htons(port);
        bound = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~loop_peer() { close(fd); }

    void send(const std::string& text, uint16_t port)
    {
        const bytes b = parse(text);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        sendto(fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }

    // One datagram within a second, or "".
    std::string receive()
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0)
            return "";
        uint8_t buffer[1000];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        return n > 0 ? hex(buffer, size_t(n)) : "";
    }

    bool bound = false;

private:
    int fd;
};

// A network namespace of the test's own: as root at once; otherwise inside
// a user namespace in which the test is root, entered once per process (the
// kernel lets only a single-threaded process do that).
bool enter_network_namespace()
{
    static bool in_user_namespace = false;
    if (unshare(CLONE_NEWNET) == 0)
        return true;
    if (in_user_namespace)
        return false;
    const std::string uid = std::to_string(getuid()), gid = std::to_string(getgid());
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
        return false;
    in_user_namespace = true;
    const auto write = [](const char* path, const std::string& text) {
        const int fd = open(path, O_WRONLY);
        const bool written = fd >= 0 && ::write(fd, text.data(), text.size()) == ssize_t(text.size());
        if (fd >= 0)
            close(fd);
        return written;
    };
    return write("/proc/self/setgroups", "deny") && write("/proc/self/uid_map", "0 " + uid + " 1") &&
           write("/proc/self/gid_map", "0 " + gid + " 1");
}

class ptz_service : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!enter_network_namespace() ||
            std::system("ip link add eth0 address 02:00:0a:4d:00:05 type veth peer name eth0p && "
                        "ip addr add 10.77.0.5/24 dev eth0 && ip link set eth0 up && ip link set lo up") != 0)
            GTEST_SKIP() << "cannot make a network namespace with a veth eth0 here";

        root = std::filesystem::temp_directory_path() / ("ptz-test-" + std::to_string(getpid()));
        std::filesystem::create_directories(root / "dev");
        setenv("NDI_ENCODER_ROOT", root.c_str(), 1);

        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);   // keeps the master readable
        ASSERT_GE(slave, 0);
        termios raw{};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        std::filesystem::create_symlink(ptsname(master), root / "dev/ttyS1");

        sender = std::make_shared<network_send>(nullptr, nullptr, "PTZ");
    }

    void TearDown() override
    {
        if (master >= 0)
            close(master);
        if (slave >= 0)
            close(slave);
        if (!root.empty())
            std::filesystem::remove_all(root);
        unsetenv("NDI_ENCODER_ROOT");
    }

    // What the camera gets within a second, as messages ending in 0xFF.
    std::vector<std::string> camera_receives(size_t messages)
    {
        std::vector<std::string> out;
        bytes current;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (out.size() < messages && std::chrono::steady_clock::now() < until) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            uint8_t b;
            while (read(master, &b, 1) == 1) {
                current.push_back(b);
                if (b == 0xFF && current.size() > 8) {
                    out.push_back(hex(current));
                    current.clear();
                    break;
                }
            }
        }
        return out;
    }

    void camera_sends(const std::string& text)
    {
        const bytes b = parse(text);
        ASSERT_EQ(write(master, b.data(), b.size()), ssize_t(b.size()));
    }

    std::filesystem::path root;
    int master = -1;
    int slave = -1;
    std::shared_ptr<network_send> sender;
};

TEST_F(ptz_service, sends_queued_requests_to_the_camera_behind_its_own_tag)
{
    auto service = std::make_shared<ptz>(sender, "1.5.0");
    service->push_request({ptz_code::pan_tilt_speed, 0.5f, 0.0f});
    service->push_request({ptz_code::none, 0, 0});
    service->push_request({ptz_code::recall_preset, 12.0f, 1.0f});
    EXPECT_EQ(camera_receives(2), (std::vector<std::string>{"0F A0 A0 A0 05 05 05 05 82 01 06 01 0C 00 01 03 FF",
                                                            "0F A0 A0 A0 05 05 05 05 82 01 04 3F 02 0C FF"}));
    EXPECT_GT(service->send_serial(visca_tally(true)), 0);
    EXPECT_EQ(camera_receives(1), std::vector<std::string>{"0F A0 A0 A0 05 05 05 05 82 01 7E 01 0A 00 02 FF"});

    // Destroyed with requests waiting: they are worked through, with the
    // line closed, and the destructor returns.
    for (int i = 0; i < 10; ++i)
        service->push_request({ptz_code::flip + (i % 2) * 0x100, 1.0f, 0});
    service.reset();
}

TEST_F(ptz_service, bridges_local_visca_and_routes_the_replies_back)
{
    auto service = std::make_shared<ptz>(sender, "1.5.0");
    loop_peer local(0);
    loop_peer replies(52386);
    ASSERT_TRUE(replies.bound);

    local.send("01 00 00 05 00 00 00 07 82 09 04 00 FF", 52385);
    local.send("01 00 00 05 00 00 00 08 81 09 04 00 FF", 52385);   // camera 1 is the network's
    EXPECT_EQ(camera_receives(2), std::vector<std::string>{"00 00 00 01 00 00 00 07 82 09 04 00 FF"});

    camera_sends("0F A0 A0 A0 05 05 05 05 A0 41 FF");   // answers the service itself: dropped
    camera_sends("00 00 00 01 00 00 00 07 A0 50");      // a reply in two reads
    camera_sends("02 FF");
    EXPECT_EQ(replies.receive(), "01 11 00 04 00 00 00 07 A0 50 02 FF");

    local.send("02 00 00 02 00 00 00 09 01 00", 52385);
    EXPECT_EQ(replies.receive(), "02 01 00 01 00 00 00 00 01");
    EXPECT_EQ(replies.receive(), "");
}

TEST_F(ptz_service, stops_start_up_with_the_message_of_a_link_it_cannot_open)
{
    const auto message = [&] {
        try {
            ptz service(sender, "1.5.0");
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("constructed");
    };
    {
        loop_peer taken(52381, INADDR_ANY);
        ASSERT_TRUE(taken.bound);
        EXPECT_EQ(message(), "Cannot bind UDP socket!");
    }
    {
        loop_peer taken(52385);
        ASSERT_TRUE(taken.bound);
        EXPECT_EQ(message(), "Cannot bind LOOP UDP socket!");
    }
    std::filesystem::remove(root / "dev/ttyS1");
    EXPECT_EQ(message(), "Cannot open UART /dev/ttyS1!");
}

TEST_F(ptz_service, reads_the_identity_of_eth0)
{
    std::string log;
    network_identity id;
    {
        debug_capture capture(4);
        id = read_network_identity("1.5.0");
        log = capture.text();
    }
    EXPECT_EQ(hex(id.mac_address.data(), 6), "02 00 0A 4D 00 05");
    EXPECT_EQ(hex(id.ip_address.data(), 4), "0A 4D 00 05");
    EXPECT_EQ(hex(id.netmask.data(), 4), "FF FF FF 00");
    EXPECT_EQ(hex(id.gateway.data(), 4), "0A 4D 00 01");
    EXPECT_STREQ(id.version, "1.5.0");
    for (const char* line : {"VERSION = v1.5.0\n", "HW MAC = 02-00-0a-4d-00-05\n", "IP = 10.77.0.5\n",
                             "NETMASK = 255.255.255.0\n", "GATEWAY = 10.77.0.1\n", "NAME = "})
        EXPECT_NE(log.find(line), std::string::npos) << line << " not in " << log;

    std::system("ip addr flush dev eth0");
    {
        debug_capture capture(3);
        id = read_network_identity("1.5.0");
        log = capture.text();
    }
    EXPECT_EQ(hex(id.ip_address.data(), 4), "00 00 00 00");
    EXPECT_EQ(hex(id.gateway.data(), 4), "00 00 00 01");
    EXPECT_NE(log.find("Can't get IP address\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("VERSION"), std::string::npos) << log;
}

}  // namespace
