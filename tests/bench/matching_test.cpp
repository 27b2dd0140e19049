// How the benchmarks put records of two ends together: pictures through
// the board, commands to the camera, and the percentiles of what they find.
#include <gtest/gtest.h>

#include "bench/camera_paths.h"
#include "bench/picture_timing.h"
#include "bench/sample_set.h"

using namespace bench;

namespace {

constexpr int64_t ms = 1000000;

core_event event(int64_t ns, const char* source, const char* what)
{
    return {ns, source, what};
}

send_call video_call(int64_t ns, const char* stream, int64_t stamp_ns)
{
    send_call c;
    c.ns = ns;
    c.stream = stream;
    c.timecode = stamp_ns / 100;
    c.bytes = 1000;
    c.format = "progressive";
    return c;
}

serial_message line(int64_t ns, bool in, const std::string& hex)
{
    return {ns, in, parse_hex(hex)};
}

}   // namespace

TEST(sample_set, nearest_rank_percentiles)
{
    sample_set s;
    EXPECT_EQ(s.median(), 0);
    for (int v : {5, 1, 4, 2, 3})
        s.add(v);
    EXPECT_EQ(s.median(), 3);
    EXPECT_EQ(s.percentile(0.99), 5);
    EXPECT_EQ(s.percentile(0.2), 1);
    EXPECT_EQ(s.percentile(0.21), 2);
    for (int i = 0; i < 95; ++i)
        s.add(100);
    EXPECT_EQ(s.percentile(0.99), 100);
    EXPECT_EQ(s.percentile(0.05), 5);
}

TEST(picture_timing, each_picture_finds_its_interrupt_and_the_full_one_its_encoder_run)
{
    // Pictures at 10 and 26.7 ms; the second pair's full picture waits for
    // the first pair's preview run, which started before its stamp.
    const std::vector<core_event> events = {
        event(10 * ms, "vid_in", "irq"),
        event(10 * ms + 50000, "encoder0", "start"),
        event(14 * ms, "ndi_enc", "irq"),
        event(14 * ms + 100000, "encoder0", "start"),
        event(26 * ms, "vid_in", "irq"),
        event(27 * ms, "ndi_enc", "irq"),
        event(27 * ms + 100000, "encoder0", "start"),
        event(31 * ms, "ndi_enc", "irq"),
        event(40 * ms, "vid_in", "irq"),
    };
    const std::vector<send_call> sends = {
        video_call(15 * ms, "SHQ2", 10 * ms + 20000), video_call(16 * ms, "shq2", 10 * ms + 20000),
        video_call(32 * ms, "SHQ2", 26 * ms + 30000), video_call(33 * ms, "audio", 26 * ms),
        video_call(100 * ms, "SHQ2", 90 * ms),   // no interrupt near it
        video_call(5 * ms, "SHQ2", 4 * ms),      // before the window
    };
    const auto pictures = match_pictures(events, sends, 5 * ms, 200 * ms, 20 * ms);
    ASSERT_EQ(pictures.size(), 4u);

    EXPECT_EQ(pictures[0].capture_irq, 10 * ms);
    EXPECT_EQ(pictures[0].coding_start, 10 * ms + 50000);
    EXPECT_EQ(pictures[0].coding_end, 14 * ms);
    EXPECT_TRUE(pictures[1].preview);
    EXPECT_EQ(pictures[1].capture_irq, 10 * ms);
    EXPECT_FALSE(pictures[1].coded_known());

    EXPECT_EQ(pictures[2].capture_irq, 26 * ms);
    EXPECT_EQ(pictures[2].coding_start, 27 * ms + 100000) << "not the run under way at the stamp";
    EXPECT_EQ(pictures[2].coding_end, 31 * ms);

    EXPECT_EQ(pictures[3].capture_irq, -1);
    EXPECT_FALSE(pictures[3].coded_known()) << "no run ended before its send call";
}

TEST(camera_paths, commands_meet_the_line_and_replies_meet_the_controller)
{
    EXPECT_EQ(zoom_document(8), "<qrn_ptz_zoom zoom=\"0.00048828125\"/>");
    EXPECT_EQ(sequence_number(1), 1u);
    EXPECT_EQ(sequence_number(255), 256u) << "0xFF skipped";
    EXPECT_EQ(sequence_number(256), 257u);
    EXPECT_EQ(visca_datagram(0x0102).size(), 17u);

    const std::vector<peer_record> peer = {
        {"metadata", 0x1208, 100 * ms, ""},       {"metadata", 0x0018, 200 * ms, ""},   // never reached the line
        {"visca_sent", 7, 300 * ms, ""},          {"visca_reply", 7, 301 * ms, "90 41 FF"},
        {"visca_reply", 7, 302 * ms, "90 51 FF"}, {"visca_reply", 7, 303 * ms, "90 51 FF"},   // a repeat counts once
        {"visca_reply", 8, 304 * ms, "90 41 FF"},   // for nothing the camera wrote
    };
    const std::vector<serial_message> camera = {
        line(102 * ms, true, "0F A0 A0 A0 05 05 05 05 82 01 04 47 01 02 00 08 FF"),
        line(102 * ms + 10, false, "0F A0 A0 A0 05 05 05 05 A0 41 FF"),
        line(150 * ms, true, "0F A0 A0 A0 05 05 05 05 82 01 7E 01 0A 00 02 FF"),
        line(300 * ms + 400000, true, "00 A8 05 07 00 00 00 07 81 01 06 01 18 14 03 03 FF"),
        line(300 * ms + 500000, false, "00 A8 05 07 00 00 00 07 90 41 FF"),
        line(300 * ms + 600000, false, "00 A8 05 07 00 00 00 07 90 51 FF"),
        line(310 * ms, true, "00 C0 A8 01 00 00 00 09 81 01 06 01 18 14 03 03 FF"),   // someone else
    };
    camera_paths paths = match_camera_paths(peer, camera);
    EXPECT_EQ(paths.metadata_sent, 2u);
    ASSERT_EQ(paths.metadata_to_serial.count(), 1u);
    EXPECT_EQ(paths.metadata_to_serial.median(), 2 * ms);
    EXPECT_EQ(paths.visca_sent, 1u);
    ASSERT_EQ(paths.visca_to_serial.count(), 1u);
    EXPECT_EQ(paths.visca_to_serial.median(), 400000);
    EXPECT_EQ(paths.replies_written, 2u);
    ASSERT_EQ(paths.reply_to_controller.count(), 2u);
    EXPECT_EQ(paths.reply_to_controller.percentile(0.5), 301 * ms - (300 * ms + 500000));
    EXPECT_EQ(paths.reply_to_controller.percentile(1), 302 * ms - (300 * ms + 600000));
}
