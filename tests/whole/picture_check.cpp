// picture_check FILE.mkv moving|bars [--interlaced]
//
// Decodes every video picture of a recording that ndi-monitor made from the
// appliance and compares it with what the virtual board's input showed:
//   moving  each full-stream picture carries its number in the counter band;
//           the exact source of that number is rendered again and the
//           decoded picture must be within 40 dB PSNR of it once Q has
//           settled (Q within 2 of the stream's last Q). Preview pictures
//           must decode and carry a readable number.
//   bars    each bar of every picture of both streams has its Y', Cb and Cr
//           means within 4 codes of the 75 % bar values and is flat inside.
// --interlaced: the input was 1080i; full pictures are fields of 1920 x 540.
// Prints one line per stream and exits 1 when a check failed.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "sim/cores/video_pattern.h"
#include "sim/speedhq/speedhq_decode.h"

extern "C" {
#include <libavformat/avformat.h>
}

using namespace vfpga;

namespace {

struct picture_record {
    uint8_t q = 0;
    std::vector<uint8_t> bytes;
};

struct stream_record {
    std::string code;   // as sent: SHQ2, shq2, ...
    int width = 0, height = 0;
    std::vector<picture_record> pictures;
};

bool read_recording(const char* path, std::map<int, stream_record>& streams)
{
    AVFormatContext* context = nullptr;
    if (avformat_open_input(&context, path, nullptr, nullptr) < 0)
        return false;
    if (avformat_find_stream_info(context, nullptr) < 0) {
        avformat_close_input(&context);
        return false;
    }
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVStream* s = context->streams[i];
        if (s->codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
            continue;
        const AVDictionaryEntry* title = av_dict_get(s->metadata, "title", nullptr, 0);
        stream_record& r = streams[int(i)];
        r.code = title ? title->value : "SHQ2";
        r.width = s->codecpar->width;
        r.height = s->codecpar->height;
    }
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(context, packet) >= 0) {
        auto it = streams.find(packet->stream_index);
        if (it != streams.end() && packet->size > 0)
            it->second.pictures.push_back({packet->data[0], {packet->data, packet->data + packet->size}});
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&context);
    return true;
}

uint32_t fourcc_text(const std::string& code)
{
    uint32_t value = 0;
    for (size_t i = 0; i < 4 && i < code.size(); ++i)
        value |= uint32_t(uint8_t(code[i])) << (8 * i);
    return value;
}

// The picture a stream's pictures are coded from: the input at its size,
// or the preview scaled down from 1920 pixels.
picture_geometry source_geometry(const stream_record& s)
{
    picture_geometry g;
    g.layout = s.code[3] == '0' ? pixel_layout::yuv420 : pixel_layout::yuv422;
    g.width = uint32_t(s.width);
    g.height = uint32_t(s.height);
    g.stride = line_pitch(g.layout, g.width);
    g.scale = 1920 / uint32_t(s.width);
    return g;
}

// Bars: every bar's middle within 4 codes of its level and flat.
int check_bars(const yuv_planes& picture, std::string& failure)
{
    for (unsigned bar = 0; bar < 8; ++bar) {
        const bar_colour expected = bar_of(test_pattern::bars, bar);
        const uint8_t levels[3] = {expected.y, expected.cb, expected.cr};
        for (int plane = 0; plane < 3; ++plane) {
            const uint32_t sub = picture.width / picture.plane_width(plane);
            const uint32_t left = bar_start(bar, picture.width) / sub, right = bar_start(bar + 1, picture.width) / sub;
            const uint32_t margin = (right - left) / 4;
            const uint32_t lines = picture.plane_height(plane);
            const region_statistics r =
                region_of(picture, plane, left + margin, lines / 8, right - left - 2 * margin, lines * 3 / 4);
            if (r.mean < levels[plane] - 4.0 || r.mean > levels[plane] + 4.0 || r.highest - r.lowest > 3) {
                char text[160];
                snprintf(text, sizeof text, "bar %u plane %d: mean %.1f (want %u), %d..%d", bar, plane, r.mean,
                         levels[plane], r.lowest, r.highest);
                failure = text;
                return 1;
            }
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || (strcmp(argv[2], "moving") != 0 && strcmp(argv[2], "bars") != 0)) {
        fprintf(stderr, "usage: picture_check FILE.mkv moving|bars [--interlaced]\n");
        return 2;
    }
    const bool bars = strcmp(argv[2], "bars") == 0;
    const bool interlaced = argc > 3 && strcmp(argv[3], "--interlaced") == 0;
    std::map<int, stream_record> streams;
    if (!read_recording(argv[1], streams) || streams.empty()) {
        fprintf(stderr, "picture_check: no video in %s\n", argv[1]);
        return 1;
    }
    int failures = 0;
    for (const auto& [index, s] : streams) {
        const bool full = s.code.size() == 4 && s.code[0] == 'S';
        const picture_geometry g = source_geometry(s);
        const uint8_t settled_q = s.pictures.empty() ? 0 : s.pictures.back().q;
        bool settled = false;
        size_t decode_errors = 0, unreadable = 0, low = 0, bad_bars = 0, compared = 0;
        double worst = 99, sum = 0;
        std::string first_problem;
        std::vector<uint8_t> source(g.bytes());
        for (size_t i = 0; i < s.pictures.size(); ++i) {
            const picture_record& p = s.pictures[i];
            const decode_result d = speedhq_decode(p.bytes, fourcc_text(s.code), g.width, g.height);
            if (!d.picture) {
                if (decode_errors++ == 0)
                    first_problem = "picture " + std::to_string(i) + ": " + d.error;
                continue;
            }
            if (bars) {
                std::string failure;
                if (check_bars(*d.picture, failure) && bad_bars++ == 0)
                    first_problem = "picture " + std::to_string(i) + ": " + failure;
                continue;
            }
            const std::optional<uint32_t> number =
                read_picture_number(d.picture->y.data(), d.picture->width, d.picture->width, d.picture->height, g);
            if (!number) {
                if (unreadable++ == 0 && first_problem.empty())
                    first_problem = "picture " + std::to_string(i) + ": no readable counter";
                continue;
            }
            settled = settled || std::abs(int(p.q) - int(settled_q)) <= 2;
            if (!full || !settled)
                continue;
            render_picture(source.data(), g, *number, interlaced ? uint8_t(*number % 2) : 2, test_pattern::moving);
            const double db = psnr(*d.picture, planes_of_source(source.data(), g.layout, g.stride, g.width, g.height));
            ++compared;
            sum += db;
            worst = std::min(worst, db);
            if (db < 40.0 && low++ == 0)
                first_problem = "picture " + std::to_string(i) + " (number " + std::to_string(*number) +
                                ", Q " + std::to_string(p.q) + "): " + std::to_string(db) + " dB";
        }
        printf("%s %dx%d: %zu pictures, %zu not decoded", s.code.c_str(), s.width, s.height, s.pictures.size(),
               decode_errors);
        if (bars)
            printf(", %zu with bars off", bad_bars);
        else
            printf(", %zu without a counter", unreadable);
        if (compared)
            printf(", %zu compared after Q settled at %u: PSNR lowest %.1f dB, mean %.1f dB, %zu below 40 dB",
                   compared, settled_q, worst, sum / double(compared), low);
        printf("\n");
        if (!first_problem.empty())
            printf("  first problem: %s\n", first_problem.c_str());
        if (s.pictures.empty() || decode_errors || unreadable || low || bad_bars || (full && !bars && !compared))
            ++failures;
    }
    return failures ? 1 : 0;
}
