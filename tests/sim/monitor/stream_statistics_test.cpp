// The monitor's numbers from arrivals and timecodes that the test controls:
// rates, the Q byte, the capture-to-receive latency, per interval and in the
// summary; and its reports as prose and as key=value lines read back.
#include "sim/monitor/stream_statistics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "sim/monitor/latency_histogram.h"
#include "sim/monitor/monitor_report.h"
#include "speedhq_pictures.h"

namespace {

using ndi_monitor::latency_histogram;
using ndi_monitor::monitor_report;
using ndi_monitor::stream_statistics;
using ndi_monitor::video_report;
using namespace std::chrono_literals;
using ndi_test::picture_fields;

// The stream of that code in a report, which must be there.
const video_report& stream_of(const monitor_report& report, const std::string& code)
{
    static const video_report none;
    const video_report* found = report.find(code);
    EXPECT_NE(found, nullptr) << code << " not in " << report.key_values();
    return found ? *found : none;
}

constexpr uint32_t SHQ2 = 0x32514853, shq2 = 0x32716873;
constexpr int64_t start = 17000000000000000;   // 100 ns units
constexpr int64_t ms = 10000;                  // 100 ns units

TEST(stream_statistics, gives_rates_q_and_latency_per_interval_and_over_the_run)
{
    stream_statistics stats;
    auto t0 = stream_statistics::clock::now();
    stats.begin(t0);

    // Second 1: 60 full pictures of 2500 bytes, Q 90 to 94, 5 ms late on
    // arrival but two at 30 ms; 30 preview pictures at Q 70, 12 ms.
    std::vector<uint8_t> coded(2500, 0);
    for (int i = 0; i < 60; ++i) {
        coded[0] = uint8_t(90 + i % 5);
        int64_t timecode = start + i * 166833;
        int64_t latency = (i == 10 || i == 40 ? 30 : 5) * ms;
        stats.video(picture_fields(SHQ2, 1920, 1080, timecode), coded.data(), coded.size(), 0,
                    {t0 + i * 16683us, timecode + latency});
        if (i % 2 == 0) {
            coded[0] = 70;
            stats.video(picture_fields(shq2, 640, 360, timecode), coded.data(), 500, 1,
                        {t0 + i * 16683us, timecode + 12 * ms});
        }
    }
    const monitor_report first = stats.interval(t0 + 1s);
    video_report full = stream_of(first, "SHQ2");
    EXPECT_EQ(full.name(), "SHQ2 1920x1080");
    EXPECT_NEAR(full.pictures_per_second, 60, 0.01);
    EXPECT_NEAR(full.mbit_per_second, 1.2, 0.01);
    EXPECT_EQ(full.q_last, 94);
    EXPECT_EQ(full.q_low, 90);
    EXPECT_EQ(full.q_high, 94);
    EXPECT_NEAR(full.latency_median_ms, 5, 0.1);
    EXPECT_NEAR(full.latency_p99_ms, 30, 0.5);   // two of sixty: the 99th percentile is the worst
    video_report preview = stream_of(first, "shq2");
    EXPECT_NEAR(preview.pictures_per_second, 30, 0.01);
    EXPECT_EQ(preview.q_last, 70);
    EXPECT_EQ(preview.q_low, 70);
    EXPECT_NEAR(preview.latency_median_ms, 12, 0.2);
    EXPECT_EQ(first.dropped, 30u);
    EXPECT_EQ(first.late, 0u);
    EXPECT_EQ(first.prose(),
              "[    1 s] SHQ2 1920x1080 60.0 pic/s, 1.2 Mbit/s, Q 94 (90-94), latency median 5.0 ms p99 "
              "30.1 ms | shq2 640x360 30.0 pic/s, 0.1 Mbit/s, Q 70, latency median 12.0 ms p99 12.0 ms "
              "| dropped 30 late 0");

    // Second 2: the preview stops; the full stream goes on at Q 40 with
    // 100 pictures, 1 ms to 100 ms late in 1 ms steps.
    for (int i = 0; i < 100; ++i) {
        coded[0] = 40;
        int64_t timecode = start + 1000 * ms + i * 10 * ms;
        stats.video(picture_fields(SHQ2, 1920, 1080, timecode), coded.data(), coded.size(), 0,
                    {t0 + 1s + i * 10ms, timecode + (i + 1) * ms});
    }
    const monitor_report second = stats.interval(t0 + 2s);
    full = stream_of(second, "SHQ2");
    EXPECT_NEAR(full.pictures_per_second, 100, 0.01);
    EXPECT_EQ(full.q_last, 40);
    EXPECT_EQ(full.q_high, 40);   // the range is the interval's
    EXPECT_NEAR(full.latency_median_ms, 50, 50 / 64.0);
    EXPECT_NEAR(full.latency_p99_ms, 99, 99 / 64.0);
    preview = stream_of(second, "shq2");
    EXPECT_EQ(preview.pictures_per_second, 0);
    EXPECT_EQ(preview.q_last, -1);   // nothing arrived: no Q, no latency
    EXPECT_FALSE(preview.has_latency);
    EXPECT_EQ(second.dropped, 0u);
    EXPECT_EQ(second.late, 0u);

    const monitor_report summary = stats.summary(2.0);
    full = stream_of(summary, "SHQ2");
    EXPECT_EQ(full.pictures, 160u);
    EXPECT_EQ(full.bytes, 400000u);
    EXPECT_NEAR(full.pictures_per_second, 80, 0.01);
    EXPECT_EQ(full.q_last, 40);
    EXPECT_EQ(full.q_low, 40);
    EXPECT_EQ(full.q_high, 94);
    // 1 to 4 ms, 59 at 5 ms, 6 ms on: the 80th of 160 is 22 ms, the 159th 99 ms.
    EXPECT_NEAR(full.latency_median_ms, 22, 22 / 64.0);
    EXPECT_NEAR(full.latency_p99_ms, 99, 99 / 64.0);
    EXPECT_EQ(stream_of(summary, "shq2").pictures, 30u);
    EXPECT_EQ(summary.dropped, 30u);
    EXPECT_EQ(summary.late, 0u);
    EXPECT_NE(summary.prose().find("  video SHQ2 1920x1080: 160 pictures, 0.4 MB, 80.0 pic/s"), std::string::npos)
        << summary.prose();
}

TEST(stream_statistics, labels_fields_and_gives_no_q_for_other_codes)
{
    stream_statistics stats;
    auto t0 = stream_statistics::clock::now();
    stats.begin(t0);
    uint8_t byte = 50;
    stats.video(picture_fields(SHQ2, 1920, 540, start, 2), &byte, 1, 0, {t0, start + 2 * ms});
    stats.video(picture_fields(SHQ2, 1920, 540, start + 166833, 3), &byte, 1, 0, {t0 + 16ms, start + 166833 + 2 * ms});
    constexpr uint32_t UYVY = 0x59565955;
    stats.video(picture_fields(UYVY, 720, 576, start), &byte, 1, 0, {t0, start - 3 * ms});
    const monitor_report line = stats.interval(t0 + 1s);
    EXPECT_NE(line.prose().find("SHQ2 1920x540 fields 2.0 pic/s"), std::string::npos) << line.prose();
    const video_report& other = stream_of(line, "UYVY");
    EXPECT_EQ(other.q_last, -1);
    EXPECT_NEAR(other.latency_median_ms, -3, 0.1);   // a timecode ahead of our clock shows as such
}

TEST(latency_histogram, keeps_percentiles_within_a_sixty_fourth)
{
    unsigned seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    std::mt19937 random(seed);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round));
        // Mostly a few ms, a tail to seconds, some below zero, some below 128 µs.
        std::lognormal_distribution<double> spread(std::log(8000.0), 1.5);
        std::uniform_int_distribution<int64_t> tiny(0, 1280);
        std::vector<int64_t> values;   // 100 ns units
        int count = 1 + int(random() % 2000);
        for (int i = 0; i < count; ++i) {
            int64_t v = random() % 8 == 0 ? tiny(random) : int64_t(spread(random) * 10);
            values.push_back(random() % 10 == 0 ? -v : v);
        }
        latency_histogram histogram;
        for (int64_t v : values)
            histogram.add(v);
        ASSERT_EQ(histogram.count(), values.size());
        std::sort(values.begin(), values.end());
        for (double fraction : {0.01, 0.5, 0.9, 0.99, 1.0}) {
            size_t rank = size_t(std::ceil(fraction * double(values.size())));
            double exact_us = double(values[std::max<size_t>(rank, 1) - 1]) / 10;
            double got_us = double(histogram.percentile(fraction));
            EXPECT_NEAR(got_us, exact_us, std::abs(exact_us) / 64 + 1) << "fraction " << fraction;
        }
    }
    latency_histogram empty;
    EXPECT_EQ(empty.percentile(0.5), 0);
    empty.add(-5);   // half a microsecond ahead: zero
    EXPECT_EQ(empty.percentile(0.5), 0);
}

}   // namespace
