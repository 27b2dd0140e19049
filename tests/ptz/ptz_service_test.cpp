// The ptz service as a whole, with its four threads, in a network namespace
// of the test's own (eth0 a veth end at 10.77.0.5/24) and with a
// pseudo-terminal standing in for the camera's serial line. As root, or in
// an unprivileged user namespace of its own; skips where neither is allowed,
// and the cases with a LAN namespace beside it skip without root.
#include "ptz/ptz.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/utilities.h"
#include "sim/ndi/ndi_sim.h"
#include "tests/ptz/hex.h"
#include "tests/sim/ndi/test_receiver.h"
#include "tests/support/debug_capture.h"
#include "tests/support/loopback_sender.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes parse(const std::string& text)
{
    bytes out;
    for (size_t i = 0; i < text.size(); i += 3)
        out.push_back(uint8_t(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

// A UDP socket bound to address and port (0: any), sending to destination.
class udp_peer {
public:
    udp_peer(int descriptor, uint32_t address, uint16_t port, uint32_t destination) : fd(descriptor), to(destination)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(address);
        a.sin_port = htons(port);
        bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~udp_peer() { close(fd); }
    udp_peer(const udp_peer&) = delete;

    void send(const std::string& text, uint16_t port) { send_bytes(parse(text), port); }

    void send_bytes(const bytes& b, uint16_t port)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(to);
        a.sin_port = htons(port);
        sendto(fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }

    // One datagram within wait, or "", with the port it came from.
    std::string receive(uint16_t* from_port = nullptr, std::chrono::milliseconds wait = std::chrono::seconds(5))
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, int(wait.count())) <= 0)
            return "";
        uint8_t buffer[1000];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (from_port)
            *from_port = ntohs(from.sin_port);
        return n > 0 ? hex(buffer, size_t(n)) : "";
    }

    bool bound = false;

private:
    int fd;
    uint32_t to;
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

// On 127.0.0.1 at port (0: any), sending to 127.0.0.1.
class loop_peer : public udp_peer {
public:
    explicit loop_peer(uint16_t port, uint32_t address = INADDR_LOOPBACK)
        : udp_peer(socket(AF_INET, SOCK_DGRAM, 0), address, port, INADDR_LOOPBACK)
    {
    }
};

// Hex bytes of text.
std::string hex_of(const std::string& text)
{
    return hex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
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
        if (!lan.empty())
            std::system(("ip netns del " + lan).c_str());
        if (master >= 0)
            close(master);
        if (slave >= 0)
            close(slave);
        if (!root.empty())
            std::filesystem::remove_all(root);
        unsetenv("NDI_ENCODER_ROOT");
    }

    // Puts eth0's other end in a network namespace of its own, the LAN, at
    // 10.77.0.7; false when that cannot be done here.
    bool make_lan()
    {
        lan = "ptz-test-lan-" + std::to_string(getpid());
        const std::string in_lan = "ip -n " + lan;
        return std::system(("ip netns add " + lan + " && ip link set eth0p netns " + lan + " && " + in_lan +
                            " addr add 10.77.0.7/24 dev eth0p && " + in_lan + " link set eth0p up && " + in_lan +
                            " link set lo up")
                               .c_str()) == 0;
    }

    // A peer on the LAN at port, sending to the appliance (10.77.0.5). Its
    // socket is made by a thread that enters the LAN's namespace; a socket
    // stays in the namespace it was made in.
    std::unique_ptr<udp_peer> lan_peer(uint16_t port, uint32_t address = INADDR_ANY)
    {
        int fd = -1;
        std::thread([&] {
            const int ns = open(("/run/netns/" + lan).c_str(), O_RDONLY | O_CLOEXEC);
            if (ns >= 0 && setns(ns, CLONE_NEWNET) == 0)
                fd = socket(AF_INET, SOCK_DGRAM, 0);
            if (ns >= 0)
                close(ns);
        }).join();
        return std::make_unique<udp_peer>(fd, address, port, 0x0A4D0005);
    }

    // What the camera gets within wait, as messages ending in 0xFF.
    std::vector<std::string> camera_receives(size_t messages, std::chrono::milliseconds wait = std::chrono::seconds(1))
    {
        std::vector<std::string> out;
        bytes current;
        const auto until = std::chrono::steady_clock::now() + wait;
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
    std::string lan;
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
    EXPECT_EQ(camera_receives(2),
              (std::vector<std::string>{"0F A0 A0 A0 05 05 05 05 82 01 06 01 0C 00 01 03 FF",
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
    EXPECT_EQ(replies.receive(nullptr, std::chrono::seconds(1)), "");
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

constexpr std::chrono::seconds patient{5};

TEST_F(ptz_service, bridges_well_formed_visca_from_the_lan_and_replies_from_the_reply_socket)
{
    if (!make_lan())
        GTEST_SKIP() << "no LAN namespace here: it needs root";
    auto service = std::make_shared<ptz>(sender, "1.5.0");
    auto controller = lan_peer(52381);
    ASSERT_TRUE(controller->bound);

    controller->send("01 00 00 09 00 00 01 FF 81 01 06 01 0C 0C 01 03 FF", 52381);
    controller->send("01 00 00 0B 00 00 00 02 81 01 04 07 FF 81 01 04 07 02 FF", 52381);   // two in one
    controller->send("01 00 00 11 00 00 00 03 81 01 04 47 00 00 00 00 00 00 00 00 00 00 00 00 FF", 52381);
    controller->send("01 00 00 05 00 00 00 04 81 09 04 00 FF", 52381);
    EXPECT_EQ(camera_receives(2, patient),
              (std::vector<std::string>{"01 4D 00 07 00 00 01 FE 81 01 06 01 0C 0C 01 03 FF",
                                        "00 4D 00 07 00 00 00 04 81 09 04 00 FF"}));

    camera_sends("01 4D 00 07 00 00 01 FE 90 41 FF");
    camera_sends("0F A0 A0 A0 05 05 05 05 90 41 FF");      // the service's own: never sent out
    camera_sends("00 4D 00 07 00 00 00 04 90 30 02 FF");   // neither acknowledgement, completion nor error
    camera_sends("00 4D 00 07 00 00 00 04 90 50 02 FF");
    uint16_t reply_port = 0;
    EXPECT_EQ(controller->receive(&reply_port), "01 11 00 03 00 00 01 FF 90 41 FF");
    EXPECT_NE(reply_port, 52381);
    EXPECT_NE(reply_port, 52380);
    EXPECT_EQ(controller->receive(), "01 11 00 04 00 00 00 04 90 50 02 FF");

    controller->send("02 00 00 02 00 00 00 09 01 00", 52381);
    uint16_t ack_port = 0;
    EXPECT_EQ(controller->receive(&ack_port), "02 01 00 01 00 00 00 00 01");
    EXPECT_EQ(ack_port, reply_port);

    EXPECT_TRUE(eventually([&] {
        const ptz::counters_t c = service->counters();
        return c.commands_written == 2 && c.replies_routed == 2 && c.datagrams_refused == 2;
    })) << service->counters().commands_written
        << " " << service->counters().replies_routed << " " << service->counters().datagrams_refused;
}

TEST_F(ptz_service, answers_network_settings_at_the_requesters_port_with_the_host_name_of_the_moment)
{
    if (!make_lan())
        GTEST_SKIP() << "no LAN namespace here: it needs root";
    ASSERT_EQ(unshare(CLONE_NEWUTS), 0);
    const auto set_host_name = [](const std::string& name) { sethostname(name.data(), name.size()); };
    set_host_name("camera-room-3");
    auto service = std::make_shared<ptz>(sender, "1.5.0");
    auto tool = lan_peer(40000);
    ASSERT_TRUE(tool->bound);
    const std::string enquiry = "02 45 4E 51 3A 6E 65 74 77 6F 72 6B FF 03";
    const auto reply = [](const std::string& name) {
        return hex_of("\x02MAC:02-00-0a-4d-00-05\xFFINFO:network\xFFMODEL:DIZIZI\xFFSOFTVERSION:1.5.0\xFF"
                      "IPADR:10.77.0.5\xFFMASK:255.255.255.0\xFFGATEWAY:10.77.0.1\xFFNAME:" +
                      name + "\xFFWRITE:on\xFF\x03");
    };
    const std::string nak = hex_of("\x02NAK:02-00-0a-4d-00-05\xFF\x03");

    tool->send(enquiry, 52380);
    uint16_t from = 0;
    EXPECT_EQ(tool->receive(&from), reply("camera-r"));
    EXPECT_EQ(from, 52380);
    set_host_name("studio-b");
    tool->send(enquiry, 52380);
    EXPECT_EQ(tool->receive(), reply("studio-b"));

    // A controller's network-setting command is a request: one NAK.
    tool->send(hex_of("\x02MAC:02-00-0a-4d-00-05\xFFIPADR:10.77.0.30\xFFMASK:255.255.255.0\xFF"
                      "GATEWAY:10.77.0.1\xFFNAME:cam\xFF\x03"),
               52380);
    EXPECT_EQ(tool->receive(), nak);
    // Answers are never answered: the next datagram is the enquiry's reply.
    tool->send(reply("other"), 52380);
    tool->send(hex_of("\x02"
                      "ACK:02-00-0a-4d-00-07\xFF\x03"),
               52380);
    tool->send(hex_of("\x02NAK:02-00-0a-4d-00-07\xFF\x03"), 52380);
    tool->send(enquiry, 52380);
    EXPECT_EQ(tool->receive(), reply("studio-b"));
}

TEST_F(ptz_service, answers_a_flood_on_the_discovery_port_at_most_four_times_a_second)
{
    if (!make_lan())
        GTEST_SKIP() << "no LAN namespace here: it needs root";
    auto service = std::make_shared<ptz>(sender, "1.5.0");
    auto flood = lan_peer(52381);   // the NAKs aimed at every VISCA device's port
    ASSERT_TRUE(flood->bound);
    // In bursts that the socket's buffer holds, each taken whole before the
    // next: what the kernel drops would never reach the program.
    uint64_t sent = 0;
    uint64_t answered = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto until = start + std::chrono::seconds(30);
    for (int burst = 0; burst < 3; ++burst) {
        for (int i = 0; i < 100; ++i, ++sent)
            flood->send("41 42 43", 52380);
        while (answered + service->counters().datagrams_refused < sent && std::chrono::steady_clock::now() < until)
            answered += !flood->receive(nullptr, std::chrono::milliseconds(50)).empty();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(answered + service->counters().datagrams_refused, sent);
    EXPECT_GE(answered, 1u);
    EXPECT_LE(answered, 4 * uint64_t(seconds + 1)) << "in " << seconds << " s";
}

TEST_F(ptz_service, answers_enquiries_a_second_apart_while_another_host_floods_the_discovery_port)
{
    if (!make_lan() || std::system(("ip -n " + lan + " addr add 10.77.0.8/24 dev eth0p").c_str()) != 0)
        GTEST_SKIP() << "no LAN namespace here: it needs root";
    auto service = std::make_shared<ptz>(sender, "1.5.0");
    auto tool = lan_peer(40000);
    auto noisy = lan_peer(40001, 0x0A4D0008);
    ASSERT_TRUE(tool->bound);
    ASSERT_TRUE(noisy->bound);
    // 50 junk datagrams a second from the other host, paced from the start.
    std::atomic<bool> flooding{true};
    const auto start = std::chrono::steady_clock::now();
    std::thread flood([&] {
        for (auto next = start; flooding; next += std::chrono::milliseconds(20)) {
            std::this_thread::sleep_until(next);
            noisy->send("41 42 43", 52380);
        }
    });
    const std::string enquiry = "02 45 4E 51 3A 6E 65 74 77 6F 72 6B FF 03";
    int answered = 0;
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(500 + 1000 * i));
        tool->send(enquiry, 52380);
        answered += tool->receive(nullptr, patient).find(hex_of("INFO:network")) != std::string::npos;
    }
    flooding = false;
    flood.join();
    EXPECT_EQ(answered, 3);
    EXPECT_GE(service->counters().datagrams_refused, 1u) << "the junk beyond its budget";
}

TEST_F(ptz_service, names_its_threads)
{
    auto service = std::make_shared<ptz>(sender, "1.5.0");
    const auto names = [] {
        std::vector<std::string> all;
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
            std::ifstream comm(task.path() / "comm");
            std::string name;
            std::getline(comm, name);
            all.push_back(name);
        }
        std::sort(all.begin(), all.end());
        return all;
    };
    // Each thread names itself once it runs.
    const auto named = [&] {
        const auto all = names();
        for (const char* name : {"ndiPTZ", "viscaPTZ", "tallyPTZ", "queuePTZ"})
            if (std::count(all.begin(), all.end(), name) != 1)
                return false;
        return true;
    };
    EXPECT_TRUE(eventually(named)) << testing::PrintToString(names());
}

// Through the NDI runtime stand-in, from a receiver: the tally lamp, and
// metadata no PTZ receiver would send, on 1 MiB thread stacks.
TEST_F(ptz_service, lights_the_lamp_on_preview_and_keeps_serving_after_hostile_metadata)
{
    pthread_attr_t small_stacks;
    pthread_attr_init(&small_stacks);
    pthread_attr_setstacksize(&small_stacks, 1 << 20);
    pthread_attr_t saved;
    pthread_getattr_default_np(&saved);
    pthread_setattr_default_np(&small_stacks);
    auto ndi = loopback_sender();
    auto service = std::make_shared<ptz>(ndi, "1.5.0");
    pthread_setattr_default_np(&saved);

    ndi_test::test_receiver receiver(NDIsim_send_get_port(ndi->sender()));
    const std::string lamp_on = "0F A0 A0 A0 05 05 05 05 82 01 7E 01 0A 00 02 FF";
    const std::string lamp_off = "0F A0 A0 A0 05 05 05 05 82 01 7E 01 0A 00 03 FF";
    receiver.upstream().send_tally(false, true);
    EXPECT_EQ(camera_receives(1, patient), std::vector<std::string>{lamp_on});
    receiver.upstream().send_tally(false, false);
    EXPECT_EQ(camera_receives(1, patient), std::vector<std::string>{lamp_off});
    receiver.upstream().send_tally(true, false);
    EXPECT_EQ(camera_receives(1, patient), std::vector<std::string>{lamp_on});

    std::string deep;
    for (int i = 0; i < 20000; ++i)
        deep += "<a>";
    receiver.upstream().send_metadata(deep);
    receiver.upstream().send_metadata(std::string(60000, 'x'));
    receiver.upstream().send_metadata(R"(<qrn_ptz_zoom zoom="0.5"/>)");
    EXPECT_EQ(camera_receives(1, patient),
              std::vector<std::string>{"0F A0 A0 A0 05 05 05 05 82 01 04 47 02 00 00 00 FF"});
    pthread_attr_destroy(&small_stacks);
    pthread_attr_destroy(&saved);
}

}   // namespace
