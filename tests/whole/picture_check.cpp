// picture_check FILE.mkv moving|bars [--interlaced] [--rate PICTURES_A_SECOND]
//
// Decodes every video picture of a recording that ndi-monitor made from the
// appliance and compares it with what the virtual board's input showed:
//   moving  each picture carries its number in the counter band; the exact
//           source of that number is rendered again and the decoded picture
//           compared with it: every picture within 20 dB PSNR (a picture of
//           another kind, an unwritten buffer's black, reads as a number
//           too), the full stream's within 40 dB once Q has settled (Q
//           within 2 of the stream's last Q). Each preview picture shows the
//           same number as the full picture sent with the same timecode
//           (exact, from FILE.mkv.timecodes that ndi-monitor writes beside
//           its recording: Matroska's milliseconds cannot tell apart two
//           pairs stamped within one, as a capture catching up stamps them).
//           In each stream the numbers only grow, and with --rate (the
//           input's pictures or fields a second) each timecode agrees with
//           its number: stamped when its picture was captured, no picture's
//           timecode lies more than 250 ms behind the earliest-stamped
//           picture's on the input's grid (a loaded machine may stamp late;
//           a stale or wrong picture is off by far more).
//   bars    each bar of every picture of both streams has its Y', Cb and Cr
//           means within 4 codes of the 75 % bar values and is flat inside.
// --interlaced: the input was 1080i; full pictures are fields of 1920 x 540.
// Prints one line per stream and exits 1 when a check failed.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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
    int64_t time_us = 0;    // the timecode, as recorded
    int64_t timecode = 0;   // the timecode as sent (100 ns units)
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
        if (it != streams.end() && packet->size > 0) {
            const int64_t time_us =
                av_rescale_q(packet->pts, context->streams[packet->stream_index]->time_base, AVRational{1, 1000000});
            it->second.pictures.push_back({packet->data[0], time_us, 0, {packet->data, packet->data + packet->size}});
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&context);
    return true;
}

// The exact timecodes of FILE.timecodes, which ndi-monitor writes beside its
// recording: a line per video packet, its track's index and its timecode,
// in the order the packets were written. False when the file is missing or
// does not match the recording.
bool read_timecodes(const std::string& path, std::map<int, stream_record>& streams, std::string& failure)
{
    FILE* file = fopen(path.c_str(), "r");
    if (!file) {
        failure = "no " + path + " beside the recording";
        return false;
    }
    std::map<int, size_t> next;
    int index = 0;
    long long timecode = 0;
    int fields = 0;
    while ((fields = fscanf(file, "%d %lld", &index, &timecode)) == 2) {
        auto it = streams.find(index);
        size_t& k = next[index];
        if (it == streams.end() || k >= it->second.pictures.size())
            break;
        it->second.pictures[k++].timecode = timecode;
    }
    fclose(file);
    for (const auto& [i, s] : streams) {
        if (fields != EOF || next[i] != s.pictures.size()) {
            failure = path + " does not match the recording (track " + std::to_string(i) + ": " +
                std::to_string(next[i]) + " timecodes for " + std::to_string(s.pictures.size()) + " pictures)";
            return false;
        }
    }
    return true;
}

uint32_t fourcc_text(const std::string& code)
{
    uint32_t value = 0;
    for (size_t i = 0; i < 4 && i < code.size(); ++i)
        value |= uint32_t(uint8_t(code[i])) << (8 * i);
    return value;
}

bool is_full(const stream_record& s)
{
    return s.code.size() == 4 && s.code[0] == 'S';
}

// The picture a stream's pictures are coded from: the input at its size,
// or the preview scaled down from the input's width.
picture_geometry source_geometry(const stream_record& s, uint32_t input_width)
{
    picture_geometry g;
    g.layout = s.code[3] == '0' ? pixel_layout::yuv420 : pixel_layout::yuv422;
    g.width = uint32_t(s.width);
    g.height = uint32_t(s.height);
    g.stride = line_pitch(g.layout, g.width);
    g.scale = std::max(1u, input_width / g.width);
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

}   // namespace

int main(int argc, char** argv)
{
    bool interlaced = false;
    double rate = 0;
    bool usage = argc < 3 || (strcmp(argv[2], "moving") != 0 && strcmp(argv[2], "bars") != 0);
    for (int a = 3; a < argc && !usage; ++a) {
        if (strcmp(argv[a], "--interlaced") == 0)
            interlaced = true;
        else if (strcmp(argv[a], "--rate") == 0 && a + 1 < argc && (rate = atof(argv[++a])) > 0)
            continue;
        else
            usage = true;
    }
    if (usage) {
        fprintf(stderr, "usage: picture_check FILE.mkv moving|bars [--interlaced] [--rate PICTURES_A_SECOND]\n");
        return 2;
    }
    const bool bars = strcmp(argv[2], "bars") == 0;
    std::map<int, stream_record> streams;
    if (!read_recording(argv[1], streams) || streams.empty()) {
        fprintf(stderr, "picture_check: no video in %s\n", argv[1]);
        return 1;
    }
    std::string mismatch;
    if (!read_timecodes(std::string(argv[1]) + ".timecodes", streams, mismatch)) {
        fprintf(stderr, "picture_check: %s\n", mismatch.c_str());
        return 1;
    }
    // The input's width is the full stream's (1920 when it is missing).
    uint32_t input_width = 1920;
    for (const auto& [index, s] : streams)
        if (is_full(s))
            input_width = uint32_t(s.width);
    // The full pictures' numbers by timecode, for their previews.
    std::map<int64_t, uint32_t> full_numbers;
    int failures = 0;
    // Full streams first: their numbers are what the previews are held to.
    std::vector<const stream_record*> order;
    for (const auto& [index, s] : streams)
        if (is_full(s))
            order.push_back(&s);
    for (const auto& [index, s] : streams)
        if (!is_full(s))
            order.push_back(&s);
    for (const stream_record* stream : order) {
        const stream_record& s = *stream;
        const bool full = is_full(s);
        const picture_geometry g = source_geometry(s, input_width);
        const uint8_t settled_q = s.pictures.empty() ? 0 : s.pictures.back().q;
        bool settled = false;
        size_t decode_errors = 0, unreadable = 0, unlike = 0, low = 0, bad_bars = 0, compared = 0, paired = 0,
               mismatched = 0, disordered = 0, mistimed = 0;
        std::optional<std::pair<uint32_t, int64_t>> previous;   // number and timecode of the last picture read
        std::vector<std::pair<size_t, double>> offsets;         // picture, timecode minus number's time (us)
        double worst = 99, sum = 0;
        std::string first_problem;
        auto problem = [&](size_t i, const std::string& text) {
            if (first_problem.empty())
                first_problem = "picture " + std::to_string(i) + ": " + text;
        };
        std::vector<uint8_t> source(g.bytes());
        for (size_t i = 0; i < s.pictures.size(); ++i) {
            const picture_record& p = s.pictures[i];
            const decode_result d = speedhq_decode(p.bytes, fourcc_text(s.code), g.width, g.height);
            if (!d.picture) {
                ++decode_errors;
                problem(i, d.error);
                continue;
            }
            if (bars) {
                std::string failure;
                if (check_bars(*d.picture, failure)) {
                    ++bad_bars;
                    problem(i, failure);
                }
                continue;
            }
            const std::optional<uint32_t> number =
                read_picture_number(d.picture->y.data(), d.picture->width, d.picture->width, d.picture->height, g);
            if (!number) {
                ++unreadable;
                problem(i, "no readable counter");
                continue;
            }
            render_picture(source.data(), g, *number, interlaced ? uint8_t(*number % 2) : 2, test_pattern::moving);
            const double db = psnr(*d.picture, planes_of_source(source.data(), g.layout, g.stride, g.width, g.height));
            const std::string which = " (number " + std::to_string(*number) + ", Q " + std::to_string(p.q) + "): ";
            if (db < 20.0) {
                ++unlike;
                problem(i, "not the picture its counter names" + which + std::to_string(db) + " dB");
                continue;
            }
            if (previous) {
                const auto [last_number, last_time] = *previous;
                if (*number <= last_number) {
                    ++disordered;
                    problem(i, "after number " + std::to_string(last_number) + which);
                }
            }
            previous = {*number, p.time_us};
            // Where the picture's timecode lies against the input's grid.
            if (rate > 0)
                offsets.push_back({i, double(p.time_us) - double(*number) * 1e6 / rate});
            if (full) {
                full_numbers[p.timecode] = *number;
            } else if (const auto partner = full_numbers.find(p.timecode); partner != full_numbers.end()) {
                ++paired;
                if (partner->second != *number) {
                    ++mismatched;
                    problem(i,
                            "the full picture with its timecode is number " + std::to_string(partner->second) + which);
                }
            }
            settled = settled || std::abs(int(p.q) - int(settled_q)) <= 2;
            if (!full || !settled)
                continue;
            ++compared;
            sum += db;
            worst = std::min(worst, db);
            if (db < 40.0) {
                ++low;
                problem(i, "after Q settled" + which + std::to_string(db) + " dB");
            }
        }
        double latest = 0;
        if (!offsets.empty()) {
            double earliest = offsets.front().second;
            for (const auto& [i, offset] : offsets)
                earliest = std::min(earliest, offset);
            for (const auto& [i, offset] : offsets) {
                latest = std::max(latest, offset - earliest);
                if (offset - earliest > 250000) {
                    ++mistimed;
                    problem(i,
                            "stamped " + std::to_string(int((offset - earliest) / 1000)) +
                                " ms behind its number's time");
                }
            }
        }
        printf("%s %dx%d: %zu pictures, %zu not decoded", s.code.c_str(), s.width, s.height, s.pictures.size(),
               decode_errors);
        if (bars)
            printf(", %zu with bars off", bad_bars);
        else
            printf(", %zu without a counter, %zu unlike their source", unreadable, unlike);
        if (!bars)
            printf(", %zu out of order, %zu off their timecode (latest %.0f ms)", disordered, mistimed, latest / 1000);
        if (!full && !bars)
            printf(", %zu beside their full picture, %zu of them another picture", paired, mismatched);
        if (compared)
            printf(", %zu compared after Q settled at %u: PSNR lowest %.1f dB, mean %.1f dB, %zu below 40 dB", compared,
                   settled_q, worst, sum / double(compared), low);
        printf("\n");
        if (!first_problem.empty())
            printf("  first problem: %s\n", first_problem.c_str());
        if (s.pictures.empty() || decode_errors || unreadable || unlike || low || bad_bars || mismatched ||
            disordered || mistimed || (full && !bars && !compared))
            ++failures;
    }
    return failures ? 1 : 0;
}
