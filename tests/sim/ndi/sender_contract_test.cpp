// The stand-in runtime's contract, through its C API and a receiver on
// loopback: what receivers get and when, what comes back from them, and
// how the sender behaves when receivers are slow, leave or misbehave.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ndi/ndi_lib.h"
#include "sim/ndi/ndi_sim.h"
#include "tests/sim/ndi/test_receiver.h"

namespace {

using namespace std::chrono_literals;
using ndi_test::body_text;
using ndi_test::message_type;
using ndi_test::test_receiver;

constexpr const char* loopback_config = R"({"tcp":{"port":0,"address":"127.0.0.1"}})";

int64_t now_100ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
               .count() /
        100;
}

std::vector<uint8_t> picture_bytes(size_t size, uint32_t seed)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = uint8_t((i * 31 + seed * 7) ^ (seed >> 3));
    std::memcpy(bytes.data(), &seed, std::min(size, sizeof seed));
    return bytes;
}

NDIlib_video_frame_v2_t picture(NDIlib_FourCC_video_type_e fourcc, std::vector<uint8_t>& bytes, int64_t timecode = 0)
{
    NDIlib_video_frame_v2_t frame{};
    frame.xres = 640;
    frame.yres = 360;
    frame.FourCC = fourcc;
    frame.frame_rate_N = 60000;
    frame.frame_rate_D = 1001;
    frame.picture_aspect_ratio = 16.0f / 9.0f;
    frame.frame_format_type = NDIlib_frame_format_type_progressive;
    frame.timecode = timecode;
    frame.p_data = bytes.data();
    frame.data_size_in_bytes = int(bytes.size());
    frame.timestamp = timecode;
    return frame;
}

ndi_wire::video_fields video_of(const ndi_test::received_message& message, std::vector<uint8_t>* data = nullptr)
{
    ndi_wire::reader r(message.body.data(), message.body.size());
    auto fields = ndi_wire::get_video_fields(r);
    if (data)
        data->assign(r.current(), r.current() + r.remaining());
    return fields;
}

class stand_in : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(NDIlib_initialize());
        NDIlib_send_create_t settings{"test source", nullptr, false, false};
        instance = NDIlib_send_create_v2(&settings, loopback_config);
        ASSERT_NE(instance, nullptr);
        port = NDIsim_send_get_port(instance);
        ASSERT_GT(port, 0);
    }

    void TearDown() override
    {
        if (instance)
            NDIlib_send_destroy(instance);
        NDIlib_destroy();
    }

    void add_metadata(const char* text)
    {
        NDIlib_metadata_frame_t frame{0, NDIlib_send_timecode_synthesize, const_cast<char*>(text)};
        NDIlib_send_add_connection_metadata(instance, &frame);
    }

    void send_audio(int32_t first_sample, int64_t timecode = 1000)
    {
        std::vector<int32_t> samples(2 * 768);
        for (size_t i = 0; i < samples.size(); ++i)
            samples[i] = first_sample + int32_t(i);
        NDIlib_audio_frame_interleaved_32s_t frame{48000, 2, 768, timecode, 20, samples.data()};
        NDIlib_util_send_send_audio_interleaved_32s(instance, &frame);
    }

    // Connects and waits until the sender has taken the receiver in: its
    // hello and the connection metadata so far have arrived.
    std::unique_ptr<test_receiver> join(size_t metadata_expected = 0)
    {
        auto receiver = std::make_unique<test_receiver>(port);
        auto hello = receiver->next();
        EXPECT_TRUE(hello && hello->header.type == message_type::hello);
        for (size_t i = 0; i < metadata_expected; ++i)
            EXPECT_TRUE(receiver->next_of(message_type::connection_metadata));
        return receiver;
    }

    NDIlib_send_instance_t instance = nullptr;
    int port = 0;
};

TEST_F(stand_in, connection_metadata_reaches_new_and_connected_receivers_before_media)
{
    add_metadata("<first/>");
    test_receiver early(port);
    auto hello = early.next();
    ASSERT_TRUE(hello);
    ASSERT_EQ(hello->header.type, message_type::hello);
    EXPECT_EQ(std::string(hello->body.begin() + 4, hello->body.end()), "test source");
    auto first = early.next();
    ASSERT_TRUE(first);
    ASSERT_EQ(first->header.type, message_type::connection_metadata);
    EXPECT_EQ(body_text(*first), "<first/>");

    add_metadata("<second/>");
    auto second = early.next();
    ASSERT_TRUE(second);
    EXPECT_EQ(body_text(*second), "<second/>");

    test_receiver late(port);
    std::vector<message_type> order;
    std::vector<std::string> texts;
    for (int i = 0; i < 3; ++i) {
        auto message = late.next();
        ASSERT_TRUE(message);
        order.push_back(message->header.type);
        if (message->header.type == message_type::connection_metadata)
            texts.push_back(body_text(*message));
    }
    EXPECT_EQ(order,
              (std::vector{message_type::hello, message_type::connection_metadata, message_type::connection_metadata}));
    EXPECT_EQ(texts, (std::vector<std::string>{"<first/>", "<second/>"}));

    send_audio(0);
    EXPECT_TRUE(late.next_of(message_type::audio));
    EXPECT_TRUE(early.next_of(message_type::audio));
}

TEST_F(stand_in, media_arrives_in_sending_order_with_every_field)
{
    auto receiver = join();
    auto full = picture_bytes(5000, 1);
    auto preview = picture_bytes(1200, 2);
    auto full_frame = picture(NDIlib_FourCC_video_type_SHQ2, full, 123456789);
    full_frame.frame_format_type = NDIlib_frame_format_type_field_1;
    NDIlib_send_send_video_async_v2(instance, &full_frame);
    send_audio(100, 555);
    auto preview_frame = picture(NDIlib_FourCC_video_type_shq0, preview, NDIlib_send_timecode_synthesize);
    NDIlib_send_send_video_async_v2(instance, &preview_frame);
    send_audio(200, NDIlib_send_timecode_synthesize);
    NDIlib_send_send_video_async_v2(instance, nullptr);

    auto m1 = receiver->next();
    ASSERT_TRUE(m1);
    ASSERT_EQ(m1->header.type, message_type::video);
    std::vector<uint8_t> data;
    auto v1 = video_of(*m1, &data);
    EXPECT_EQ(v1.xres, 640);
    EXPECT_EQ(v1.yres, 360);
    EXPECT_EQ(v1.fourcc, uint32_t(NDIlib_FourCC_video_type_SHQ2));
    EXPECT_EQ(v1.frame_rate_n, 60000);
    EXPECT_EQ(v1.frame_rate_d, 1001);
    EXPECT_FLOAT_EQ(v1.picture_aspect_ratio, 16.0f / 9.0f);
    EXPECT_EQ(v1.frame_format_type, 3);
    EXPECT_EQ(v1.timecode, 123456789);
    EXPECT_EQ(v1.timestamp, 123456789);
    EXPECT_EQ(data, full);
    EXPECT_EQ(m1->header.dropped, 0u);

    auto m2 = receiver->next();
    ASSERT_TRUE(m2);
    ASSERT_EQ(m2->header.type, message_type::audio);
    ndi_wire::reader r(m2->body.data(), m2->body.size());
    auto a = ndi_wire::get_audio_fields(r);
    EXPECT_EQ(a.sample_rate, 48000);
    EXPECT_EQ(a.channels, 2);
    EXPECT_EQ(a.samples, 768);
    EXPECT_EQ(a.reference_level, 20);
    EXPECT_EQ(a.timecode, 555);
    ASSERT_EQ(r.remaining(), 2u * 768 * 4);
    EXPECT_EQ(r.i32(), 100);
    EXPECT_EQ(r.i32(), 101);

    auto m3 = receiver->next();
    ASSERT_TRUE(m3);
    ASSERT_EQ(m3->header.type, message_type::video);
    auto v3 = video_of(*m3, &data);
    EXPECT_EQ(v3.fourcc, uint32_t(NDIlib_FourCC_video_type_shq0));
    EXPECT_EQ(data, preview);
    // A synthesised timecode is the sender's clock, in 100 ns units.
    EXPECT_NEAR(double(v3.timecode), double(now_100ns()), 5e7);

    auto m4 = receiver->next();
    ASSERT_TRUE(m4);
    ASSERT_EQ(m4->header.type, message_type::audio);
    ndi_wire::reader r4(m4->body.data(), m4->body.size());
    EXPECT_NEAR(double(ndi_wire::get_audio_fields(r4).timecode), double(now_100ns()), 5e7);
}

// The in-process recorder sees each send call's own record, in the calling
// thread and in order, and nothing once it is taken away.
TEST_F(stand_in, the_observer_is_shown_every_send_call_as_it_was_made)
{
    struct seen_call {
        NDIlib_send_instance_t instance;
        uint32_t fourcc;   // 0 for audio
        const void* data;
        int64_t timecode;
    };
    struct recorder {
        std::vector<seen_call> calls;
        std::thread::id thread;
        bool other_thread = false;
        void note(seen_call call)
        {
            other_thread = other_thread || std::this_thread::get_id() != thread;
            calls.push_back(call);
        }
    } seen{{}, std::this_thread::get_id()};
    const NDIsim_send_observer_t observer{
        &seen,
        [](void* context, NDIlib_send_instance_t sender, const NDIlib_video_frame_v2_t* frame) {
            static_cast<recorder*>(context)->note({sender, uint32_t(frame->FourCC), frame->p_data, frame->timecode});
        },
        [](void* context, NDIlib_send_instance_t sender, const NDIlib_audio_frame_interleaved_32s_t* frame) {
            static_cast<recorder*>(context)->note({sender, 0, frame->p_data, frame->timecode});
        },
        nullptr, nullptr};
    NDIsim_send_set_observer(&observer);

    auto full = picture_bytes(5000, 1);
    auto full_frame = picture(NDIlib_FourCC_video_type_SHQ2, full, 111);
    NDIlib_send_send_video_async_v2(instance, &full_frame);
    send_audio(100, 222);
    auto preview = picture_bytes(1200, 2);
    auto preview_frame = picture(NDIlib_FourCC_video_type_shq0, preview, 333);
    NDIlib_send_send_video_async_v2(instance, &preview_frame);

    // Audio only: a member left null is not called.
    NDIsim_send_observer_t audio_only = observer;
    audio_only.video = nullptr;
    NDIsim_send_set_observer(&audio_only);
    NDIlib_send_send_video_async_v2(instance, &full_frame);
    send_audio(300, 444);
    NDIsim_send_set_observer(nullptr);
    send_audio(500, 555);
    NDIlib_send_send_video_async_v2(instance, nullptr);

    ASSERT_EQ(seen.calls.size(), 4u);
    EXPECT_FALSE(seen.other_thread);
    const uint32_t fourccs[] = {uint32_t(NDIlib_FourCC_video_type_SHQ2), 0, uint32_t(NDIlib_FourCC_video_type_shq0), 0};
    const int64_t timecodes[] = {111, 222, 333, 444};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(seen.calls[i].instance, instance) << i;
        EXPECT_EQ(seen.calls[i].fourcc, fourccs[i]) << i;
        EXPECT_EQ(seen.calls[i].timecode, timecodes[i]) << i;
    }
    EXPECT_EQ(seen.calls[0].data, full.data()) << "the program's own bytes, not a copy";
    EXPECT_EQ(seen.calls[2].data, preview.data());
}

TEST_F(stand_in, picture_bytes_may_be_reused_once_the_next_video_call_returns)
{
    auto receiver = join();
    auto a = picture_bytes(70000, 10), a_copy = a;
    auto b = picture_bytes(30000, 11), b_copy = b;
    auto c = picture_bytes(70000, 12), c_copy = c;
    auto d = picture_bytes(70000, 13), d_copy = d;

    auto fa = picture(NDIlib_FourCC_video_type_SHQ2, a);
    NDIlib_send_send_video_async_v2(instance, &fa);
    auto fb = picture(NDIlib_FourCC_video_type_shq2, b);
    NDIlib_send_send_video_async_v2(instance, &fb);
    std::fill(a.begin(), a.end(), 0xEE);   // the other stream's call has returned
    auto fc = picture(NDIlib_FourCC_video_type_SHQ2, c);
    NDIlib_send_send_video_async_v2(instance, &fc);
    std::fill(b.begin(), b.end(), 0xEE);
    NDIlib_send_send_video_async_v2(instance, nullptr);
    std::fill(c.begin(), c.end(), 0xEE);
    auto fd = picture(NDIlib_FourCC_video_type_SHQ2, d);
    NDIlib_send_send_video_async_v2(instance, &fd);
    NDIlib_send_destroy(instance);   // the last picture goes out before the instance does
    instance = nullptr;
    std::fill(d.begin(), d.end(), 0xEE);

    for (auto* expected : {&a_copy, &b_copy, &c_copy, &d_copy}) {
        auto message = receiver->next_of(message_type::video);
        ASSERT_TRUE(message);
        std::vector<uint8_t> data;
        video_of(*message, &data);
        EXPECT_EQ(data, *expected);
    }
    EXPECT_FALSE(receiver->next());
    EXPECT_TRUE(receiver->closed());
}

// The program's pattern: two send threads on one instance, each keeping its
// previous picture until its next call has returned, then reusing it.
TEST_F(stand_in, two_streams_sent_concurrently_keep_their_bytes)
{
    constexpr uint32_t pictures = 150;
    auto receiver = join();

    auto stream = [&](NDIlib_FourCC_video_type_e fourcc, uint32_t base) {
        std::vector<uint8_t> buffers[2];
        for (uint32_t i = 0; i < pictures; ++i) {
            buffers[i % 2] = picture_bytes(20000 + i * 13, base + i);   // overwrites picture i − 2
            auto frame = picture(fourcc, buffers[i % 2]);
            NDIlib_send_send_video_async_v2(instance, &frame);
            std::this_thread::sleep_for(1ms);
        }
        NDIlib_send_send_video_async_v2(instance, nullptr);   // gives the last picture back
    };
    std::thread full(stream, NDIlib_FourCC_video_type_SHQ2, 0);
    std::thread preview(stream, NDIlib_FourCC_video_type_shq2, 100000);

    uint32_t next_expected[2] = {0, 100000};
    uint32_t received = 0;
    while (received < 2 * pictures) {
        auto message = receiver->next_of(message_type::video);
        ASSERT_TRUE(message) << "after " << received << " pictures";
        ASSERT_EQ(message->header.dropped, 0u);
        std::vector<uint8_t> data;
        auto fields = video_of(*message, &data);
        int s = fields.fourcc == uint32_t(NDIlib_FourCC_video_type_SHQ2) ? 0 : 1;
        uint32_t seed = next_expected[s]++;
        ASSERT_EQ(data, picture_bytes(20000 + (seed % 100000) * 13, seed)) << "picture " << seed;
        ++received;
    }
    full.join();
    preview.join();
}

TEST_F(stand_in, a_receiver_that_joins_later_gets_media_from_then_on)
{
    for (int i = 0; i < 20; ++i)
        send_audio(i * 10000);   // nobody listens: accepted and dropped
    auto receiver = join();
    send_audio(777777);
    auto audio = receiver->next_of(message_type::audio);
    ASSERT_TRUE(audio);
    ndi_wire::reader r(audio->body.data(), audio->body.size());
    ndi_wire::get_audio_fields(r);
    EXPECT_EQ(r.i32(), 777777);
    EXPECT_EQ(audio->header.dropped, 0u);
}

TEST_F(stand_in, receiver_metadata_is_captured_in_order_within_the_timeout)
{
    auto receiver = join();
    NDIlib_metadata_frame_t frame{};

    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(NDIlib_send_capture(instance, &frame, 100), NDIlib_frame_type_none);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 90ms);

    receiver->upstream().send_metadata(R"(<ptzPanTiltSpeed pan_speed="0.5" tilt_speed="-0.25"/>)");
    receiver->upstream().send_metadata("<ptzZoom zoom=\"0.3\"/>", 42);

    ASSERT_EQ(NDIlib_send_capture(instance, &frame, 2000), NDIlib_frame_type_metadata);
    EXPECT_STREQ(frame.p_data, R"(<ptzPanTiltSpeed pan_speed="0.5" tilt_speed="-0.25"/>)");
    EXPECT_EQ(frame.length, int(std::strlen(frame.p_data) + 1));
    NDIlib_send_free_metadata(instance, &frame);

    ASSERT_EQ(NDIlib_send_capture(instance, &frame, 2000), NDIlib_frame_type_metadata);
    EXPECT_STREQ(frame.p_data, "<ptzZoom zoom=\"0.3\"/>");
    EXPECT_EQ(frame.timecode, 42);
    NDIlib_send_free_metadata(instance, &frame);

    // A capture that is already waiting returns as soon as a document comes.
    std::thread later([&] {
        std::this_thread::sleep_for(100ms);
        receiver->upstream().send_metadata("<ptzFocus mode=\"auto\"/>");
    });
    started = std::chrono::steady_clock::now();
    ASSERT_EQ(NDIlib_send_capture(instance, &frame, 5000), NDIlib_frame_type_metadata);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
    EXPECT_STREQ(frame.p_data, "<ptzFocus mode=\"auto\"/>");
    NDIlib_send_free_metadata(instance, &frame);
    later.join();
}

TEST_F(stand_in, tally_combines_connected_receivers_and_reports_changes_only)
{
    NDIlib_tally_t tally{};
    EXPECT_FALSE(NDIlib_send_get_tally(instance, &tally, 50));

    auto first = join();
    auto second = join();
    first->upstream().send_tally(true, false);
    ASSERT_TRUE(NDIlib_send_get_tally(instance, &tally, 2000));
    EXPECT_TRUE(tally.on_program);
    EXPECT_FALSE(tally.on_preview);
    EXPECT_FALSE(NDIlib_send_get_tally(instance, &tally, 50));   // unchanged

    second->upstream().send_tally(false, true);
    ASSERT_TRUE(NDIlib_send_get_tally(instance, &tally, 2000));
    EXPECT_TRUE(tally.on_program);
    EXPECT_TRUE(tally.on_preview);

    first.reset();   // leaves: its program tally no longer counts
    ASSERT_TRUE(NDIlib_send_get_tally(instance, &tally, 2000));
    EXPECT_FALSE(tally.on_program);
    EXPECT_TRUE(tally.on_preview);

    // The one left still gets everything.
    send_audio(5);
    EXPECT_TRUE(second->next_of(message_type::audio));

    second->upstream().send_tally(false, false);
    ASSERT_TRUE(NDIlib_send_get_tally(instance, &tally, 2000));
    EXPECT_FALSE(tally.on_program);
    EXPECT_FALSE(tally.on_preview);
}

TEST_F(stand_in, stalled_receiver_loses_whole_frames_without_holding_up_sends)
{
    constexpr int pictures = 200;
    auto stalled = join();   // joins, then reads nothing until the end
    auto healthy = join();

    std::atomic<int> healthy_pictures{0};
    std::atomic<uint32_t> healthy_dropped{0};
    std::thread watcher([&] {
        while (healthy_pictures + int(healthy_dropped) < pictures) {
            auto message = healthy->next_of(message_type::video, 10s);
            if (!message)
                return;
            healthy_dropped += message->header.dropped;
            ++healthy_pictures;
        }
    });

    auto bytes = picture_bytes(256 * 1024, 3);
    auto longest = std::chrono::steady_clock::duration::zero();
    for (int i = 0; i < pictures; ++i) {
        auto frame = picture(NDIlib_FourCC_video_type_SHQ2, bytes, i);
        auto started = std::chrono::steady_clock::now();
        NDIlib_send_send_video_async_v2(instance, &frame);
        longest = std::max(longest, std::chrono::steady_clock::now() - started);
        std::this_thread::sleep_for(3ms);
    }
    watcher.join();
    // A send tied to the stalled receiver would wait for ever; the bound is
    // generous only so that a loaded machine or a sanitizer does not trip it.
    EXPECT_LT(longest, 1s);
    EXPECT_EQ(healthy_pictures + int(healthy_dropped), pictures);

    // Every picture reached the stalled receiver or was counted as lost,
    // and the newest ones are those that survived.
    int delivered = 0;
    uint32_t dropped = 0;
    int64_t last_timecode = -1;
    while (delivered + int(dropped) < pictures) {
        auto message = stalled->next_of(message_type::video);
        ASSERT_TRUE(message);
        dropped += message->header.dropped;
        last_timecode = video_of(*message).timecode;
        ++delivered;
    }
    EXPECT_GT(dropped, 0u);
    EXPECT_GT(dropped, healthy_dropped) << "the stalled receiver's losses spilled over";
    EXPECT_EQ(last_timecode, pictures - 1);
}

TEST_F(stand_in, receiver_sending_garbage_is_disconnected)
{
    auto healthy = join();

    auto raw_connection = [&]() {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(uint16_t(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        timeval timeout{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        return fd;
    };
    auto cut_off = [](int fd) {
        char sink[4096];
        for (;;) {
            ssize_t got = recv(fd, sink, sizeof sink, 0);
            if (got == 0 || (got < 0 && errno == ECONNRESET))
                return true;
            if (got < 0)
                return false;   // timed out: still connected
        }
    };

    int junk = raw_connection();
    const char text[] = "GET / HTTP/1.0\r\n\r\n";
    ASSERT_GT(send(junk, text, sizeof text - 1, MSG_NOSIGNAL), 0);
    EXPECT_TRUE(cut_off(junk));
    close(junk);

    int huge = raw_connection();
    uint8_t head[ndi_wire::header_size];
    ndi_wire::encode_header({message_type::metadata, 100u << 20, 0}, head);
    ASSERT_GT(send(huge, head, sizeof head, MSG_NOSIGNAL), 0);
    EXPECT_TRUE(cut_off(huge));
    close(huge);

    int wrong_way = raw_connection();   // a receiver has no business sending video
    auto message = ndi_wire::frame_message(message_type::video, std::vector<uint8_t>(64));
    ASSERT_GT(send(wrong_way, message.data(), message.size(), MSG_NOSIGNAL), 0);
    EXPECT_TRUE(cut_off(wrong_way));
    close(wrong_way);

    send_audio(9);
    EXPECT_TRUE(healthy->next_of(message_type::audio));
}

class environment_variable {
public:
    environment_variable(const char* variable, const std::string& value) : name(variable)
    {
        setenv(name, value.c_str(), 1);
    }
    ~environment_variable() { unsetenv(name); }

private:
    const char* name;
};

TEST(stand_in_creation, fails_without_a_usable_listening_socket)
{
    NDIlib_send_create_t settings{"first", nullptr, false, false};
    auto first = NDIlib_send_create_v2(&settings, loopback_config);
    ASSERT_NE(first, nullptr);
    int port = NDIsim_send_get_port(first);

    std::string same_port = R"({"tcp":{"port":)" + std::to_string(port) + R"(,"address":"127.0.0.1"}})";
    EXPECT_EQ(NDIlib_send_create_v2(&settings, same_port.c_str()), nullptr);
    EXPECT_EQ(NDIlib_send_create_v2(&settings, R"({"tcp":{"port":0,"address":"no where"}})"), nullptr);
    EXPECT_EQ(NDIlib_send_create_v2(&settings, R"({"tcp":{"port":99999}})"), nullptr);
    EXPECT_EQ(NDIlib_send_create_v2(&settings, R"({"tcp":{"port":0)"), nullptr);
    NDIlib_send_destroy(first);
}

TEST(stand_in_creation, environment_overrides_the_configuration_text)
{
    NDIlib_send_create_t settings{"env", nullptr, false, false};
    auto probe = NDIlib_send_create_v2(&settings, loopback_config);
    ASSERT_NE(probe, nullptr);
    int free_port = NDIsim_send_get_port(probe);
    NDIlib_send_destroy(probe);

    environment_variable port("NDI_SIM_PORT", std::to_string(free_port));
    environment_variable address("NDI_SIM_ADDRESS", "127.0.0.1");
    // Unknown members are ignored; the environment wins over the text.
    auto instance = NDIlib_send_create_v2(
        &settings, R"({"tcp":{"port":1,"address":"10.255.255.1"},"groups":["a",{"b":null}],"x":-1.5e3})");
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(NDIsim_send_get_port(instance), free_port);
    test_receiver receiver(free_port);
    EXPECT_TRUE(receiver.next_of(message_type::hello));
    NDIlib_send_destroy(instance);
}

TEST(stand_in_creation, send_log_lists_every_send_call_with_its_time_when_the_sender_goes)
{
    char dir[] = "/tmp/send-log-test-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string path = std::string(dir) + "/send.log";
    NDIlib_send_create_t settings{"logged", nullptr, false, false};
    {
        environment_variable log("NDI_SIM_SEND_LOG", std::string(dir) + "/missing/send.log");
        EXPECT_EQ(NDIlib_send_create_v2(&settings, loopback_config), nullptr) << "a log it cannot write";
    }
    environment_variable log("NDI_SIM_SEND_LOG", path);
    auto instance = NDIlib_send_create_v2(&settings, loopback_config);
    ASSERT_NE(instance, nullptr);

    const int64_t before = now_100ns();
    std::vector<uint8_t> full = picture_bytes(3000, 1), preview = picture_bytes(700, 2);
    NDIlib_video_frame_v2_t first = picture(NDIlib_FourCC_video_type_SHQ2, full, 111);
    first.frame_format_type = NDIlib_frame_format_type_field_1;
    NDIlib_send_send_video_async_v2(instance, &first);
    NDIlib_video_frame_v2_t second = picture(NDIlib_FourCC_video_type_shq2, preview, 222);
    NDIlib_send_send_video_async_v2(instance, &second);
    std::vector<int32_t> samples(2 * 768);
    NDIlib_audio_frame_interleaved_32s_t audio{48000, 2, 768, 333, 20, samples.data()};
    NDIlib_util_send_send_audio_interleaved_32s(instance, &audio);
    NDIlib_send_send_video_async_v2(instance, nullptr);   // a flush, not a frame
    const int64_t after = now_100ns();

    std::ifstream early(path);
    EXPECT_EQ(early.peek(), std::ifstream::traits_type::eof()) << "written when the sender goes";
    NDIlib_send_destroy(instance);

    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        long long seconds = 0, nanoseconds = 0;
        char rest[200] = {};
        ASSERT_EQ(std::sscanf(line.c_str(), "%lld.%9lld %199[^\n]", &seconds, &nanoseconds, rest), 3) << line;
        const int64_t called = (seconds * 1000000000 + nanoseconds) / 100;
        EXPECT_GE(called, before);
        EXPECT_LE(called, after);
        lines.push_back(rest);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"SHQ2 111 3000 field1", "shq2 222 700 progressive", "audio 333 6144"}));
    std::remove(path.c_str());
    rmdir(dir);
}

TEST(stand_in_creation, initialize_fails_when_the_runtime_is_marked_unavailable)
{
    EXPECT_TRUE(NDIlib_initialize());
    environment_variable unavailable("NDI_SIM_UNAVAILABLE", "1");
    EXPECT_FALSE(NDIlib_initialize());
}

}   // namespace
