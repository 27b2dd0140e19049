// The stand-in's rate control as the program meets it: the target size it
// announces, and the Q it hands out per stream, closing the loop over the
// sizes of the pictures actually sent.
#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <random>
#include <vector>

#include "ndi/ndi_lib.h"
#include "tests/support/test_seed.h"

namespace {

constexpr const char* loopback_config = R"({"tcp":{"port":0,"address":"127.0.0.1"}})";

NDIlib_video_frame_v2_t described(int xres, int yres, uint32_t fourcc, int rate_n = 60000, int rate_d = 1000)
{
    NDIlib_video_frame_v2_t frame{};
    frame.xres = xres;
    frame.yres = yres;
    frame.FourCC = NDIlib_FourCC_video_type_e(fourcc);
    frame.frame_rate_N = rate_n;
    frame.frame_rate_D = rate_d;
    frame.frame_format_type = NDIlib_frame_format_type_progressive;
    frame.timecode = NDIlib_send_timecode_synthesize;
    return frame;
}

// A stand-in for the encoder: the coded size grows as Q rises (the
// quantiser scale 100 − Q falls), and the size of a picture is only known
// some pictures after Q was asked for, as in the program's pipeline.
class fake_coder {
public:
    fake_coder(double size_at_one, size_t picture_lag, unsigned seed)
        : size_at_scale_1(size_at_one), lag(picture_lag), noise(seed)
    {
    }

    // Codes with q; returns the size of the picture that comes out now, or 0
    // while the pipeline fills.
    int code(int q)
    {
        std::uniform_real_distribution<double> jitter(0.95, 1.05);
        in_flight.push_back(int(size_at_scale_1 / double(100 - q) * jitter(noise)));
        if (in_flight.size() <= lag)
            return 0;
        int size = in_flight.front();
        in_flight.pop_front();
        return size;
    }

    double size_at_scale_1;

private:
    size_t lag;
    std::deque<int> in_flight;
    std::mt19937 noise;
};

class rate_loop : public ::testing::Test {
protected:
    void SetUp() override
    {
        NDIlib_send_create_t settings{"rate", nullptr, false, false};
        instance = NDIlib_send_create_v2(&settings, loopback_config);
        ASSERT_NE(instance, nullptr);
    }
    void TearDown() override { NDIlib_send_destroy(instance); }

    // Asks Q, codes, sends what the coder produced; returns that size.
    int step(const NDIlib_video_frame_v2_t& description, fake_coder& coder, int& q)
    {
        q = NDIlib_send_get_q_factor(instance, &description);
        EXPECT_GE(q, 0);
        EXPECT_LE(q, 99);
        int size = coder.code(q);
        if (size > 0) {
            buffer.resize(size_t(size));
            auto frame = description;
            frame.p_data = buffer.data();
            frame.data_size_in_bytes = size;
            NDIlib_send_send_video_async_v2(instance, &frame);
        }
        return size;
    }

    NDIlib_send_instance_t instance = nullptr;
    std::vector<uint8_t> buffer;
};

TEST(stand_in_target_size, follows_a_bitrate_proportional_to_pixels_and_rate)
{
    NDIlib_send_create_t settings{"target", nullptr, false, false};
    auto instance = NDIlib_send_create_v2(&settings, loopback_config);
    ASSERT_NE(instance, nullptr);
    auto target = [&](int x, int y, uint32_t fourcc, int n = 60000, int d = 1000) {
        auto frame = described(x, y, fourcc, n, d);
        return NDIlib_send_get_target_frame_size(instance, &frame);
    };

    double full_1080p60 = double(target(1920, 1080, NDIlib_FourCC_video_type_SHQ2)) * 8 * 60;
    EXPECT_GE(full_1080p60, 130e6);
    EXPECT_LE(full_1080p60, 150e6);
    EXPECT_NEAR(double(target(1280, 720, NDIlib_FourCC_video_type_SHQ2)) /
                    target(1920, 1080, NDIlib_FourCC_video_type_SHQ2),
                1280.0 * 720 / (1920 * 1080), 0.01);
    // Per picture the size does not depend on the rate; per second it scales with it.
    EXPECT_NEAR(target(1920, 1080, NDIlib_FourCC_video_type_SHQ2, 30000, 1001),
                target(1920, 1080, NDIlib_FourCC_video_type_SHQ2), 2);
    EXPECT_LT(target(1920, 1080, NDIlib_FourCC_video_type_SHQ0), target(1920, 1080, NDIlib_FourCC_video_type_SHQ2));
    EXPECT_LT(target(1920, 1080, NDIlib_FourCC_video_type_shq2), target(1920, 1080, NDIlib_FourCC_video_type_SHQ2));
    EXPECT_GT(target(960, 540, NDIlib_FourCC_video_type_shq0), 0);
    EXPECT_EQ(target(1920, 1080, 0x59565955 /* UYVY */), 0);
    EXPECT_EQ(target(0, 1080, NDIlib_FourCC_video_type_SHQ2), 0);

    auto uyvy = described(1920, 1080, 0x59565955);
    EXPECT_EQ(NDIlib_send_get_q_factor(instance, &uyvy), -1);
    NDIlib_send_destroy(instance);
}

TEST_F(rate_loop, each_stream_converges_on_its_own_target)
{
    const unsigned seed = test_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));

    auto full = described(1920, 1080, NDIlib_FourCC_video_type_SHQ2);
    auto preview = described(960, 540, NDIlib_FourCC_video_type_shq2, 30000, 1000);
    double full_target = NDIlib_send_get_target_frame_size(instance, &full);
    double preview_target = NDIlib_send_get_target_frame_size(instance, &preview);

    // Sizes hit the target at scale 23 (Q 77) for the full stream and at
    // scale 6 (Q 94) for the preview: different content, different answers.
    fake_coder full_coder(full_target * 23, 3, seed);
    fake_coder preview_coder(preview_target * 6, 2, seed + 1);

    std::vector<double> full_sizes, preview_sizes;
    int q_full = 0, q_preview = 0;
    for (int i = 0; i < 400; ++i) {
        full_sizes.push_back(step(full, full_coder, q_full));
        if (i % 2 == 0)
            preview_sizes.push_back(step(preview, preview_coder, q_preview));
    }
    auto mean_of_last = [](const std::vector<double>& sizes, size_t n) {
        double sum = 0;
        for (size_t i = sizes.size() - n; i < sizes.size(); ++i)
            sum += sizes[i];
        return sum / double(n);
    };
    EXPECT_NEAR(mean_of_last(full_sizes, 50) / full_target, 1.0, 0.1);
    EXPECT_NEAR(mean_of_last(preview_sizes, 50) / preview_target, 1.0, 0.15);
    EXPECT_NEAR(q_full, 77, 2);
    EXPECT_NEAR(q_preview, 94, 2);
}

TEST_F(rate_loop, q_stays_in_range_and_recovers_from_saturation)
{
    auto full = described(1280, 720, NDIlib_FourCC_video_type_SHQ0);
    double target = NDIlib_send_get_target_frame_size(instance, &full);

    // Content so busy that even Q 0 is ten times too big.
    fake_coder coder(target * 100 * 10, 2, 7);
    int q = -1;
    for (int i = 0; i < 200; ++i)
        step(full, coder, q);
    EXPECT_EQ(q, 0);

    // Then so plain that even Q 99 is too small: the loop must not have
    // wound up while it was pinned, and climbs to the top promptly.
    coder.size_at_scale_1 = target / 10;
    int pictures = 0;
    while (q < 99 && pictures < 200) {
        step(full, coder, q);
        ++pictures;
    }
    EXPECT_EQ(q, 99);
    EXPECT_LT(pictures, 80);
}

}   // namespace
