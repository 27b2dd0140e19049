// The recorder on its own: what it writes beside the Matroska file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "monitor_checks.h"
#include "ndi/ndi_lib.h"
#include "sim/monitor/matroska_recorder.h"
#include "speedhq_pictures.h"

using namespace ndi_monitor;
using namespace ndi_test;

// A capture that catches up after a stall stamps two pairs within one
// millisecond. Matroska moves the second picture a millisecond on; the
// timecodes file keeps what was sent, so that the preview stamped with the
// second pair is still found beside its own full picture.
TEST(matroska_recorder, keeps_exact_timecodes_beside_the_file)
{
    if (!have_ffmpeg_tools())
        GTEST_SKIP() << "ffprobe is needed to read the recording";
    const auto directory = std::filesystem::temp_directory_path() / ("recorder-test-" + std::to_string(getpid()));
    std::filesystem::create_directories(directory);
    const std::string path = (directory / "pairs.mkv").string();

    speedhq_encoder full_encoder(320, 180, false), preview_encoder(160, 90, false);
    const std::vector<uint8_t> full = full_encoder.encode(colour_bars(320, 180, false, 0), 80);
    const std::vector<uint8_t> preview = preview_encoder.encode(colour_bars(160, 90, false, 0), 80);
    const uint32_t SHQ2 = NDIlib_FourCC_video_type_SHQ2, shq2 = NDIlib_FourCC_video_type_shq2;
    const int64_t start = 17000000000000000;
    // Pairs 0.02 s apart, then two stamped 0.3 ms apart, each second pair
    // with a preview.
    const std::vector<int64_t> stamps = {start, start + 200000, start + 400000, start + 403000, start + 600000};
    {
        matroska_recorder recorder(path);   // all held back, then written by finish
        const auto now = matroska_recorder::clock::now();
        for (size_t i = 0; i < stamps.size(); ++i) {
            recorder.add_video(picture_fields(SHQ2, 320, 180, stamps[i]), full.data(), full.size(), now);
            if (i % 2 == 1)
                recorder.add_video(picture_fields(shq2, 160, 90, stamps[i]), preview.data(), preview.size(), now);
        }
        ASSERT_TRUE(recorder.finish()) << recorder.error();
    }

    // In the file the colliding full picture has moved on by a millisecond.
    const std::string times =
        run("ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 '" + path + "'");
    EXPECT_EQ(times, "0.000000\n0.020000\n0.040000\n0.041000\n0.060000\n");

    std::ifstream file(path + ".timecodes");
    ASSERT_TRUE(file) << "no timecodes file";
    std::stringstream lines;
    lines << file.rdbuf();
    std::stringstream expected;
    for (size_t i = 0; i < stamps.size(); ++i) {
        expected << "0 " << stamps[i] << "\n";
        if (i % 2 == 1)
            expected << "1 " << stamps[i] << "\n";
    }
    EXPECT_EQ(lines.str(), expected.str());
    if (!HasFailure())
        std::filesystem::remove_all(directory);
}
