// The snapshot of the last full-stream picture: which picture it is (fields
// woven, lone fields, the preview left out) and that its pixels are what was
// coded, within the coding loss. Pictures are coded by FFmpeg's encoder.
#include "sim/monitor/png_snapshot.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "monitor_checks.h"
#include "speedhq_pictures.h"

namespace {

using namespace ndi_test;
using ndi_monitor::png_snapshot;

constexpr uint32_t SHQ2 = 0x32514853, SHQ0 = 0x30514853, shq2 = 0x32716873;
constexpr int64_t start = 17000000000000000;   // 100 ns units
constexpr int64_t field_period = 166833;       // 60000/1001

class png_snapshot_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!have_ffmpeg_tools())
            GTEST_SKIP() << "ffprobe and ffmpeg are needed to read the snapshot";
        directory = std::filesystem::temp_directory_path() /
            ("png-snapshot-test-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(directory);
    }

    void TearDown() override
    {
        if (!HasFailure() && !directory.empty())
            std::filesystem::remove_all(directory);
    }

    // Hands the snapshot a picture of bars rotated by `rotation` as the
    // monitor does: inside a message body, after the fixed fields.
    void keep(png_snapshot& snapshot, uint32_t fourcc, int width, int height, int format_type, int64_t timecode,
              int rotation)
    {
        bool chroma_420 = (fourcc >> 24) == '0';
        auto& encoder = encoders[{width, height, chroma_420}];
        if (!encoder)
            encoder = std::make_unique<speedhq_encoder>(width, height, chroma_420);
        std::vector<uint8_t> coded = encoder->encode(colour_bars(width, height, chroma_420, rotation), 96);

        ndi_wire::video_fields video = picture_fields(fourcc, width, height, timecode, format_type);
        std::vector<uint8_t> body(ndi_wire::video_fields::size + coded.size(), 0xEE);
        std::copy(coded.begin(), coded.end(), body.begin() + ndi_wire::video_fields::size);
        snapshot.keep(video, body, ndi_wire::video_fields::size);
    }

    rgb_image written(png_snapshot& snapshot)
    {
        EXPECT_TRUE(snapshot.has_picture());
        EXPECT_TRUE(snapshot.write()) << snapshot.error();
        return read_image(snapshot.path());
    }

    std::filesystem::path directory;
    std::map<std::tuple<int, int, bool>, std::unique_ptr<speedhq_encoder>> encoders;
};

TEST_F(png_snapshot_test, shows_the_last_full_stream_picture_and_leaves_the_preview_out)
{
    png_snapshot snapshot((directory / "progressive.png").string());
    for (int k = 0; k < 4; ++k)
        keep(snapshot, SHQ2, 1920, 1080, 1, start + k * 2 * field_period, k);
    keep(snapshot, shq2, 640, 360, 1, start + 8 * field_period, 6);
    rgb_image image = written(snapshot);
    EXPECT_EQ(image.width, 1920);
    EXPECT_EQ(image.height, 1080);
    expect_bars(image, 3);
    EXPECT_EQ(snapshot.description(), "1920x1080 from one SHQ2 1920x1080 picture");

    // 4:2:0 is decoded by its own code, and 720 lines are HD colours too.
    png_snapshot hd_420((directory / "small.png").string());
    keep(hd_420, SHQ0, 1280, 720, 1, start, 5);
    rgb_image image_420 = written(hd_420);
    EXPECT_EQ(image_420.width, 1280);
    EXPECT_EQ(image_420.height, 720);
    expect_bars(image_420, 5);
}

TEST_F(png_snapshot_test, weaves_a_first_field_with_the_second_field_after_it)
{
    // ... F0 F1 F0 F1 F0: the last whole frame is the second pair; the lone
    // first field after it waits for a partner that never comes.
    png_snapshot snapshot((directory / "woven.png").string());
    for (int k = 0; k < 5; ++k)
        keep(snapshot, SHQ2, 1920, 540, k % 2 == 0 ? 2 : 3, start + k * field_period, k % 2 == 0 ? k / 2 : 4 + k / 2);
    rgb_image image = written(snapshot);
    EXPECT_EQ(image.width, 1920);
    EXPECT_EQ(image.height, 1080);
    expect_bars(image, 1, 0);   // the first field on the even lines
    expect_bars(image, 5, 1);
    EXPECT_EQ(snapshot.description(), "1920x1080 from two SHQ2 1920x540 fields");
}

TEST_F(png_snapshot_test, pairs_no_fields_across_a_gap_and_scales_a_lone_field)
{
    // The second field of a later frame (two fields lost between) does not
    // make a frame with the first field before the gap.
    png_snapshot gap((directory / "gap.png").string());
    keep(gap, SHQ2, 1920, 540, 2, start, 0);
    keep(gap, SHQ2, 1920, 540, 3, start + field_period, 4);
    keep(gap, SHQ2, 1920, 540, 2, start + 2 * field_period, 1);
    keep(gap, SHQ2, 1920, 540, 3, start + 5 * field_period, 6);
    rgb_image image = written(gap);
    expect_bars(image, 0, 0);
    expect_bars(image, 4, 1);

    // A field alone fills the frame.
    png_snapshot lone((directory / "lone.png").string());
    keep(lone, SHQ2, 1920, 540, 3, start, 2);
    rgb_image lone_image = written(lone);
    EXPECT_EQ(lone_image.width, 1920);
    EXPECT_EQ(lone_image.height, 1080);
    expect_bars(lone_image, 2);
    EXPECT_EQ(lone.description(), "1920x1080 from one SHQ2 1920x540 field, scaled");

    // When the input turns interlaced, the last progressive picture is no
    // longer what the stream shows: the new format's lone field is.
    png_snapshot changed((directory / "changed.png").string());
    keep(changed, SHQ2, 1920, 1080, 1, start, 0);
    keep(changed, SHQ2, 1920, 540, 2, start + field_period, 7);
    expect_bars(written(changed), 7);
}

TEST_F(png_snapshot_test, writes_nothing_without_a_picture_and_fails_on_one_it_cannot_decode)
{
    png_snapshot empty((directory / "empty.png").string());
    std::vector<uint8_t> preview_body(200, 0);
    ndi_wire::video_fields preview;
    preview.fourcc = shq2;
    preview.xres = 640;
    preview.yres = 360;
    empty.keep(preview, preview_body, 48);
    EXPECT_FALSE(empty.has_picture());
    EXPECT_TRUE(empty.write());
    EXPECT_FALSE(std::filesystem::exists(empty.path()));

    png_snapshot broken((directory / "broken.png").string());
    std::vector<uint8_t> body(48 + 1000, 0);
    body[48] = 120;   // a Q no decoder takes
    ndi_wire::video_fields video;
    video.fourcc = SHQ2;
    video.xres = 1920;
    video.yres = 1080;
    video.frame_format_type = 1;
    broken.keep(video, body, 48);
    EXPECT_FALSE(broken.write());
    EXPECT_NE(broken.error().find("cannot decode the last SHQ2 picture"), std::string::npos) << broken.error();
    EXPECT_FALSE(std::filesystem::exists(broken.path()));
}

}   // namespace
