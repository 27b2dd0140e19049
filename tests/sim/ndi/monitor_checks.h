// Checks of what the monitor writes: its files read with FFmpeg's
// command-line tools rather than with our own reading of them, its lines
// read by pattern.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
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
    std::string size = run("ffprobe -v error -show_entries stream=width,height -of csv=p=0:s=x '" + file.string() + "'");
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
                << "bar " << bar << " channel " << "RGB"[c] << ", rotation " << rotation << ", rows " << row_parity;
    }
}

// The numbers of one stream in a line of the monitor or in its summary,
// found by the stream's name ("SHQ2 1920x1080"; "video SHQ2 1920x1080" in the
// summary). -1 and 0 where it gives no Q or latency.
struct stream_numbers {
    double pictures_per_second = 0, mbit_per_second = 0;
    int q_last = -1, q_low = -1, q_high = -1;
    double median_ms = 0, p99_ms = 0;
};

inline stream_numbers numbers_of(const std::string& text, const std::string& stream)
{
    std::smatch found;
    std::regex pattern(stream + R"([:]?(?: [0-9.]+ pictures, [0-9.]+ MB,)? ([0-9.]+) pic/s, ([0-9.]+) Mbit/s)"
                                R"((?:, Q (\d+)(?: \((\d+)-(\d+)\))?)?(?:, latency median (-?[0-9.]+) ms p99 (-?[0-9.]+) ms)?)");
    stream_numbers numbers;
    if (!std::regex_search(text, found, pattern)) {
        ADD_FAILURE() << stream << " not in: " << text;
        return numbers;
    }
    numbers.pictures_per_second = std::stod(found[1]);
    numbers.mbit_per_second = std::stod(found[2]);
    if (found[3].matched) {
        numbers.q_last = std::stoi(found[3]);
        numbers.q_low = found[4].matched ? std::stoi(found[4]) : numbers.q_last;
        numbers.q_high = found[5].matched ? std::stoi(found[5]) : numbers.q_last;
    }
    if (found[6].matched) {
        numbers.median_ms = std::stod(found[6]);
        numbers.p99_ms = std::stod(found[7]);
    }
    return numbers;
}

}  // namespace ndi_test
