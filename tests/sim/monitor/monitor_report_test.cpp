// The monitor's reports as programs read them: every figure of a key=value
// line comes back as it was written, and nothing else reads as a report.
#include "sim/monitor/monitor_report.h"

#include <gtest/gtest.h>

namespace {

using ndi_monitor::audio_report;
using ndi_monitor::monitor_report;
using ndi_monitor::video_report;

video_report stream(const std::string& code, int width, int height, int q_last, int q_low, int q_high)
{
    video_report v;
    v.code = code;
    v.width = width;
    v.height = height;
    v.pictures = 3600;
    v.bytes = 900000000123;
    v.pictures_per_second = 59.94;
    v.mbit_per_second = 121.375;
    v.q_last = q_last;
    v.q_low = q_low;
    v.q_high = q_high;
    return v;
}

void expect_same(const video_report& got, const video_report& sent)
{
    EXPECT_EQ(got.code, sent.code);
    EXPECT_EQ(got.name(), sent.name());
    EXPECT_EQ(got.pictures, sent.pictures);
    EXPECT_EQ(got.bytes, sent.bytes);
    EXPECT_DOUBLE_EQ(got.pictures_per_second, sent.pictures_per_second);
    EXPECT_DOUBLE_EQ(got.mbit_per_second, sent.mbit_per_second);
    EXPECT_EQ(got.q_last, sent.q_last);
    EXPECT_EQ(got.q_low, sent.q_low);
    EXPECT_EQ(got.q_high, sent.q_high);
    EXPECT_EQ(got.has_latency, sent.has_latency);
    EXPECT_DOUBLE_EQ(got.latency_median_ms, sent.latency_median_ms);
    EXPECT_DOUBLE_EQ(got.latency_p99_ms, sent.latency_p99_ms);
}

TEST(monitor_report, key_values_bring_back_every_figure)
{
    monitor_report sent;
    sent.covers = monitor_report::span::connection;
    sent.seconds = 61.25;
    sent.dropped = 2;
    sent.late = 1;
    sent.video.push_back(stream("SHQ2", 1920, 540, 57, 55, 60));
    sent.video[0].fields = true;
    sent.video[0].has_latency = true;
    sent.video[0].latency_median_ms = 8.25;
    sent.video[0].latency_p99_ms = -12.125;   // a timecode ahead of the receiver's clock
    sent.video.push_back(stream("shq2", 640, 180, 61, 61, 61));
    sent.video.push_back(stream("UYVY", 720, 576, -1, -1, -1));   // no Q, no latency
    audio_report& audio = sent.audio.emplace();
    audio.sample_rate = 48000;
    audio.channels = 2;
    audio.blocks = 6100;
    audio.samples = 4684800;
    audio.blocks_per_second = 62.5;
    audio.timecode_jumps = 3;

    const std::string line = sent.key_values();
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    const auto got = monitor_report::parse(line);
    ASSERT_TRUE(got) << line;
    EXPECT_EQ(got->covers, monitor_report::span::connection);
    EXPECT_DOUBLE_EQ(got->seconds, 61.25);
    EXPECT_EQ(got->dropped, 2u);
    EXPECT_EQ(got->late, 1u);
    ASSERT_EQ(got->video.size(), 3u) << line;
    for (size_t i = 0; i < 3; ++i)
        expect_same(got->video[i], sent.video[i]);
    EXPECT_EQ(got->stream(true), &got->video[1]);
    EXPECT_EQ(got->stream(false), &got->video[0]);
    ASSERT_TRUE(got->audio) << line;
    EXPECT_EQ(got->audio->sample_rate, 48000);
    EXPECT_EQ(got->audio->channels, 2);
    EXPECT_EQ(got->audio->blocks, 6100u);
    EXPECT_EQ(got->audio->samples, 4684800u);
    EXPECT_DOUBLE_EQ(got->audio->blocks_per_second, 62.5);
    EXPECT_EQ(got->audio->timecode_jumps, 3u);
    EXPECT_EQ(got->prose(), sent.prose());

    // No media at all, over an interval.
    monitor_report quiet;
    quiet.seconds = 3;
    const auto nothing = monitor_report::parse(quiet.key_values());
    ASSERT_TRUE(nothing) << quiet.key_values();
    EXPECT_EQ(nothing->covers, monitor_report::span::interval);
    EXPECT_TRUE(nothing->video.empty());
    EXPECT_FALSE(nothing->audio);
    EXPECT_EQ(nothing->prose(), "[    3 s] nothing yet | dropped 0 late 0");
}

TEST(monitor_report, a_code_that_is_not_four_letters_keeps_its_words_apart)
{
    monitor_report sent;
    sent.video.push_back(stream(std::string("a =,", 4), 16, 16, -1, -1, -1));
    const auto got = monitor_report::parse(sent.key_values());
    ASSERT_TRUE(got) << sent.key_values();
    ASSERT_EQ(got->video.size(), 1u);
    EXPECT_EQ(got->video[0].code, "0x2C3D2061");
    EXPECT_EQ(got->video[0].pictures, 3600u);
}

TEST(monitor_report, reads_only_its_own_lines_and_the_last_summary)
{
    for (const char* other : {"", "summary", "summary seconds=1 dropped=0 late=0",   // no video key
                              "summary seconds=x dropped=0 late=0 video=", "summary seconds=1 dropped=-1 late=0 video=",
                              "summary seconds=1 dropped=0 late=0 video=SHQ2",   // its figures missing
                              "interval seconds=1 dropped=0 late=0 video= stray",
                              "received in 1.0 s:", "[    1 s] nothing yet | dropped 0 late 0"})
        EXPECT_FALSE(monitor_report::parse(other)) << other;

    monitor_report first, last, second;
    first.covers = last.covers = monitor_report::span::connection;
    first.dropped = 9;
    last.dropped = 2;
    second.seconds = 2;
    const std::string output = "connected to 192.168.5.20:5960\n" + first.key_values() + "\n" + second.key_values() +
        "\n<ndi_capabilities qrn_ptz=\"true\"/>\n" + last.key_values() + "\nnothing to record, no file written\n";
    const auto summary = ndi_monitor::last_summary(output);
    ASSERT_TRUE(summary);
    EXPECT_EQ(summary->dropped, 2u);
    const auto seconds = ndi_monitor::interval_reports(output);
    ASSERT_EQ(seconds.size(), 1u);
    EXPECT_DOUBLE_EQ(seconds[0].seconds, 2);
    EXPECT_FALSE(ndi_monitor::last_summary("connected\nthe sender closed the connection\n"));
}

}   // namespace
