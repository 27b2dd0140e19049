// Checks of what the monitor writes: its files read with FFmpeg's
// command-line tools rather than with our own reading of them. Its lines
// and summary are read with monitor_report::parse (--summary-format kv).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "speedhq_pictures.h"

namespace ndi_test {

// A command's standard output.
inline std::string run(const std::string& command)
{
    std::string result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return result;
    char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        result.append(chunk, got);
    pclose(pipe);
    return result;
}

inline bool have_ffmpeg_tools()
{
    return std::system("command -v ffprobe >/dev/null && command -v ffmpeg >/dev/null") == 0;
}

struct rgb_image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;   // RGB, rows top down
};

// An image file as FFmpeg reads it; empty when it reads none.
inline rgb_image read_image(const std::filesystem::path& file)
{
    rgb_image image;
    std::string size =
        run("ffprobe -v error -show_entries stream=width,height -of csv=p=0:s=x '" + file.string() + "'");
    if (std::sscanf(size.c_str(), "%dx%d", &image.width, &image.height) != 2)
        return {};
    std::string pixels = run("ffmpeg -v error -i '" + file.string() + "' -f rawvideo -pix_fmt rgb24 -");
    if (pixels.size() != size_t(image.width) * size_t(image.height) * 3)
        return {};
    image.pixels.assign(pixels.begin(), pixels.end());
    return image;
}

// Each bar of the rows that `row_parity` selects (0 even, 1 odd, -1 all)
// has the colour of the bars rotated by `rotation`: its mean within
// `tolerance` codes, away from the edges where the coding rings.
inline void expect_bars(const rgb_image& image, int rotation, int row_parity = -1, double tolerance = 5)
{
    ASSERT_GT(image.width, 0);
    int bar_width = image.width / 8;
    for (int bar = 0; bar < 8; ++bar) {
        double sum[3] = {0, 0, 0};
        long count = 0;
        for (int row = 0; row < image.height; ++row) {
            if (row_parity >= 0 && row % 2 != row_parity)
                continue;
            for (int x = bar * bar_width + 8; x < (bar + 1) * bar_width - 8; ++x) {
                const uint8_t* p = &image.pixels[(size_t(row) * size_t(image.width) + size_t(x)) * 3];
                for (int c = 0; c < 3; ++c)
                    sum[c] += p[c];
                ++count;
            }
        }
        const colour& expected = bar_colour(bar, rotation);
        int want[3] = {expected.r, expected.g, expected.b};
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(sum[c] / double(count), want[c], tolerance)
                << "bar " << bar << " channel "
                << "RGB"[c] << ", rotation " << rotation << ", rows " << row_parity;
    }
}

}   // namespace ndi_test
