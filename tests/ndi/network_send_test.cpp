// network_send and make_capabilities against the NDI stand-in, on loopback.
// The address of eth0 is exercised in network namespaces of our own, never
// on the machine's interfaces.
#include "ndi/network_send.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>

#include "base/debug_log.h"
#include "ndi/coded_picture.h"
#include "sim/ndi/ndi_sim.h"
#include "tests/sim/ndi/test_receiver.h"
#include "tests/support/loopback_sender.h"

namespace {

using ndi_test::message_type;

// Collects the debug log at a given level for the life of the object.
class captured_log {
public:
    explicit captured_log(int level) : saved_stream(debug_stream), saved_level(debug_level)
    {
        debug_stream = open_memstream(&buffer, &size);
        debug_level = level;
    }
    ~captured_log()
    {
        text();
        debug_stream = saved_stream;
        debug_level = saved_level;
        free(buffer);
    }
    std::string text()
    {
        if (debug_stream != saved_stream) {
            fclose(debug_stream);
            debug_stream = saved_stream;
        }
        return buffer ? std::string(buffer, size) : std::string();
    }

private:
    FILE* saved_stream;
    int saved_level;
    char* buffer = nullptr;
    size_t size = 0;
};

class environment_variable {
public:
    environment_variable(const char* variable, const char* value) : name(variable) { setenv(name, value, 1); }
    ~environment_variable() { unsetenv(name); }

private:
    const char* name;
};

// Runs setup (shell commands) and make_capabilities in a child process in a
// fresh network namespace; returns "<result>|<text>", or "" when the
// namespace could not be made.
std::string capabilities_in_namespace(const char* setup, bool ptz)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return "";
    pid_t child = fork();
    if (child == 0) {
        close(pipe_fds[0]);
        if (unshare(CLONE_NEWNET) != 0 || (setup[0] != '\0' && std::system(setup) != 0))
            _exit(2);
        char buffer[capabilities_size];
        std::memset(buffer, 'x', sizeof buffer);
        int result = make_capabilities(ptz, buffer);
        std::string reply = std::to_string(result) + "|" + std::string(buffer, strnlen(buffer, sizeof buffer));
        (void)!write(pipe_fds[1], reply.data(), reply.size());
        _exit(0);
    }
    close(pipe_fds[1]);
    std::string reply;
    char chunk[256];
    ssize_t got;
    while ((got = read(pipe_fds[0], chunk, sizeof chunk)) > 0)
        reply.append(chunk, size_t(got));
    close(pipe_fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? reply : "";
}

TEST(make_capabilities, announces_ptz_and_the_web_page_at_the_address_of_eth0)
{
    std::string reply = capabilities_in_namespace(
        "ip link add eth0 type veth peer name eth0p && ip addr add 10.77.0.5/24 dev eth0 && ip link set eth0 up", true);
    if (reply.empty())
        GTEST_SKIP() << "cannot make a network namespace with a veth eth0 here";
    EXPECT_EQ(reply, R"(0|<ndi_capabilities qrn_ptz="true" web_control="http://10.77.0.5"/>)");

    reply = capabilities_in_namespace(
        "ip link add eth0 type veth peer name eth0p && ip addr add 192.168.5.20/24 dev eth0 && ip link set eth0 up",
        false);
    EXPECT_EQ(reply, R"(0|<ndi_capabilities qrn_ptz="false" web_control="http://192.168.5.20"/>)");
}

TEST(make_capabilities, stays_well_formed_without_an_address)
{
    std::string reply = capabilities_in_namespace("", true);   // no eth0 at all
    if (reply.empty())
        GTEST_SKIP() << "cannot make a network namespace here";
    EXPECT_EQ(reply, R"(0|<ndi_capabilities qrn_ptz="true"/>)");

    reply = capabilities_in_namespace("ip link add eth0 type veth peer name eth0p && ip link set eth0 up", false);
    if (!reply.empty()) {   // eth0 present but without IPv4
        EXPECT_EQ(reply, R"(0|<ndi_capabilities qrn_ptz="false"/>)");
    }
}

TEST(make_capabilities, is_logged_only_above_level_3)
{
    char buffer[capabilities_size];
    std::string logged;
    {
        captured_log log(3);
        EXPECT_EQ(make_capabilities(true, buffer), 0);
        logged = log.text();
    }
    EXPECT_EQ(logged, "");
    EXPECT_TRUE(
        std::regex_match(buffer, std::regex(R"(<ndi_capabilities qrn_ptz="true"( web_control="http://[0-9.]+")?/>)")))
        << buffer;
    {
        captured_log log(4);
        make_capabilities(true, buffer);
        logged = log.text();
    }
    EXPECT_EQ(logged, std::string(buffer) + "\n");
}

class network_send_on_loopback : public ::testing::Test {
protected:
    // The product's own configuration text, moved onto loopback and a free
    // port by the stand-in's environment.
    environment_variable address{"NDI_SIM_ADDRESS", "127.0.0.1"};
    environment_variable port{"NDI_SIM_PORT", "0"};
};

TEST_F(network_send_on_loopback, announces_the_capabilities_to_every_receiver)
{
    const char* capabilities = R"(<ndi_capabilities qrn_ptz="true" web_control="http://192.168.5.20"/>)";
    std::string logged;
    {
        captured_log log(4);
        {
            network_send sender(ndi_configuration(), capabilities, "PTZ");
            ASSERT_NE(sender.sender(), nullptr);

            ndi_test::test_receiver receiver(NDIsim_send_get_port(sender.sender()));
            auto hello = receiver.next();
            ASSERT_TRUE(hello);
            ASSERT_EQ(hello->header.type, message_type::hello);
            EXPECT_EQ(std::string(hello->body.begin() + 4, hello->body.end()), "PTZ");
            auto announced = receiver.next();
            ASSERT_TRUE(announced);
            ASSERT_EQ(announced->header.type, message_type::connection_metadata);
            EXPECT_EQ(ndi_test::body_text(*announced), capabilities);
        }
        logged = log.text();
    }
    EXPECT_EQ(logged, std::string("network_send Constructor\n") + ndi_configuration() + "\nnetwork_send Destructor\n");
}

TEST_F(network_send_on_loopback, constructor_reports_a_runtime_that_cannot_start)
{
    environment_variable unavailable("NDI_SIM_UNAVAILABLE", "1");
    try {
        network_send sender(ndi_configuration(), "<ndi_capabilities qrn_ptz=\"true\"/>", "PTZ");
        FAIL() << "constructed without a runtime";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Cannot run NDI!");
    }
}

TEST_F(network_send_on_loopback, constructor_reports_a_sender_that_cannot_be_made)
{
    network_send first(ndi_configuration(), "<ndi_capabilities qrn_ptz=\"true\"/>", "PTZ");
    environment_variable taken("NDI_SIM_PORT", std::to_string(NDIsim_send_get_port(first.sender())).c_str());
    try {
        network_send second(ndi_configuration(), "<ndi_capabilities qrn_ptz=\"true\"/>", "PTZ");
        FAIL() << "two senders on one port";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Cannot create NDI sender!");
    }
}

// Runs a function in each video send call of the runtime stand-in, for as
// long as it lives.
class sent_hook {
public:
    explicit sent_hook(std::function<void()> run) : on_send(std::move(run))
    {
        const NDIsim_send_observer_t observer{this, video_sent, nullptr, nullptr, nullptr};
        NDIsim_send_set_observer(&observer);
    }
    ~sent_hook() { NDIsim_send_set_observer(nullptr); }
    sent_hook(const sent_hook&) = delete;
    sent_hook& operator=(const sent_hook&) = delete;

private:
    static void video_sent(void* context, NDIlib_send_instance_t, const NDIlib_video_frame_v2_t*)
    {
        static_cast<sent_hook*>(context)->on_send();
    }
    std::function<void()> on_send;
};

}   // namespace

TEST_F(network_send_on_loopback, counts_receivers_and_keeps_the_tally_it_was_last_given)
{
    network_send sender(ndi_configuration(), nullptr, "PTZ");
    EXPECT_EQ(sender.receivers(), 0);
    NDIlib_tally_t tally{};
    {
        ndi_test::test_receiver receiver(NDIsim_send_get_port(sender.sender()));
        ASSERT_TRUE(receiver.next_of(message_type::hello));   // counted before its hello
        EXPECT_EQ(sender.receivers(), 1);

        ASSERT_TRUE(receiver.upstream().send_tally(false, true));
        ASSERT_TRUE(sender.get_tally(tally, 5000));
        EXPECT_TRUE(tally.on_preview);
        // The change went to the one waiter; everyone else still sees the state.
        EXPECT_FALSE(sender.get_tally(tally, 0));
        EXPECT_FALSE(sender.tally().on_program);
        EXPECT_TRUE(sender.tally().on_preview);

        ASSERT_TRUE(receiver.upstream().send_tally(true, false));
        ASSERT_TRUE(sender.get_tally(tally, 5000));
        EXPECT_TRUE(sender.tally().on_program);
        EXPECT_FALSE(sender.tally().on_preview);
    }
    // The receiver leaves: its tally stops counting, and so does it.
    ASSERT_TRUE(sender.get_tally(tally, 5000));
    EXPECT_FALSE(sender.tally().on_program || sender.tally().on_preview);
    for (int i = 0; i < 500 && sender.receivers() > 0; ++i)
        usleep(10000);
    EXPECT_EQ(sender.receivers(), 0);
}

TEST(network_send_video, the_record_describes_the_picture_and_its_field)
{
    coded_picture frame;
    frame.width = 1920;
    frame.height = 540;
    frame.fourcc = NDIlib_FourCC_video_type_shq2;
    frame.frame_rate_n = 30000;
    frame.frame_rate_d = 1001;
    frame.timestamp = 987654321;
    frame.data = std::make_unique<uint8_t[]>(12);
    frame.size = 12;
    const struct {
        int32_t field;
        NDIlib_frame_format_type_e type;
    } cases[] = {
        {0, NDIlib_frame_format_type_field_0},
        {1, NDIlib_frame_format_type_field_1},
        {2, NDIlib_frame_format_type_progressive},
        {5, NDIlib_frame_format_type_progressive},
    };
    for (const auto& c : cases) {
        frame.field = c.field;
        const NDIlib_video_frame_v2_t record = network_send::video_record(frame);
        EXPECT_EQ(record.frame_format_type, c.type) << c.field;
        EXPECT_EQ(record.xres, 1920);
        EXPECT_EQ(record.yres, 540);
        EXPECT_EQ(uint32_t(record.FourCC), uint32_t(NDIlib_FourCC_video_type_shq2));
        EXPECT_EQ(record.frame_rate_N, 30000);
        EXPECT_EQ(record.frame_rate_D, 1001);
        EXPECT_EQ(record.timecode, 987654321);
        EXPECT_EQ(record.timestamp, 987654321);
        EXPECT_EQ(record.p_data, frame.data.get());
        EXPECT_EQ(record.data_size_in_bytes, 12);
        EXPECT_EQ(record.p_metadata, nullptr);
        uint32_t aspect_bits = 0;
        memcpy(&aspect_bits, &record.picture_aspect_ratio, 4);
        EXPECT_EQ(aspect_bits, 0x3FE38E39u);
    }
}

TEST(network_send_video, each_stream_keeps_its_last_picture_until_the_next_one_is_handed_over)
{
    auto sender = loopback_sender();
    auto picture = [] {
        auto f = std::make_shared<coded_picture>();
        f->data = std::make_unique<uint8_t[]>(8);
        f->size = 8;
        return f;
    };
    std::weak_ptr<coded_picture> full1, preview1;
    {
        auto f = picture();
        full1 = f;
        sender->send_video(std::move(f), 0);
        auto p = picture();
        preview1 = p;
        sender->send_video(std::move(p), 1);
    }
    EXPECT_FALSE(full1.expired());
    EXPECT_FALSE(preview1.expired());
    // While the next picture of the stream is handed over, the one before
    // is still alive; the other stream's picture is not touched.
    bool alive_during_send = false;
    sent_hook hook([&] { alive_during_send = !full1.expired(); });
    std::weak_ptr<coded_picture> full2;
    {
        auto f = picture();
        full2 = f;
        sender->send_video(std::move(f), 0);
    }
    EXPECT_TRUE(alive_during_send);
    EXPECT_TRUE(full1.expired());
    EXPECT_FALSE(preview1.expired());
    sender.reset();
    EXPECT_TRUE(full2.expired());
    EXPECT_TRUE(preview1.expired());
}
