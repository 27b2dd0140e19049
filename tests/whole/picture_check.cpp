// picture_check FILE.mkv moving|bars [--interlaced] [--rate PICTURES_A_SECOND]
//               [--stalls CORE_LOG PICTURES_A_SECOND]
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
// --stalls: the board's core log (virtual-board --core-log) and the input's
//           rate. The program arms a pair's preview core right after its
//           full-picture core, with no call between (a model test holds it
//           to that); a host that holds the capture thread between the two
//           writes for more than a picture lets the preview core take a
//           later picture, as the board would. Such a preview is reported
//           as a host stall with the log's evidence (both arms' times, and
//           that the thread made no call between them), not as a failure;
//           any other preview paired with another picture still fails.
// Prints one line per stream and exits 1 when a check failed.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
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

struct check_options {
    const char* path = nullptr;
    bool bars = false;
    bool interlaced = false;
    double rate = 0;        // --rate: timecodes on the input's grid
    std::string core_log;   // --stalls
    double stall_rate = 0;
};

std::optional<check_options> parse_arguments(int argc, char** argv)
{
    if (argc < 3 || (strcmp(argv[2], "moving") != 0 && strcmp(argv[2], "bars") != 0))
        return std::nullopt;
    check_options o;
    o.path = argv[1];
    o.bars = strcmp(argv[2], "bars") == 0;
    for (int a = 3; a < argc; ++a) {
        if (strcmp(argv[a], "--interlaced") == 0)
            o.interlaced = true;
        else if (strcmp(argv[a], "--rate") == 0 && a + 1 < argc && (o.rate = atof(argv[++a])) > 0)
            continue;
        else if (strcmp(argv[a], "--stalls") == 0 && a + 2 < argc && (o.core_log = argv[++a], true) &&
                 (o.stall_rate = atof(argv[++a])) > 0)
            continue;
        else
            return std::nullopt;
    }
    return o;
}

// One pair's arms as the core log shows them: vid_in's, and the pvw_in arm
// that the same thread wrote next, before its next vid_in arm.
struct pair_arms {
    int64_t video_ns = 0;
    std::optional<int64_t> preview_ns;
    bool back_to_back = false;   // no call of the thread between the two
};

// The capture thread's arms, in order. Lines that are not starts, or carry
// no thread and call count, are left out.
std::vector<pair_arms> read_pair_arms(const std::string& path)
{
    std::vector<pair_arms> arms;
    std::ifstream in(path);
    long video_thread = 0;
    unsigned long long video_call = 0;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        long long seconds = 0;
        char dot = 0;
        std::string fraction, source, what;
        long thread = 0;
        unsigned long long call = 0;
        if (!(fields >> seconds >> dot >> fraction >> source >> what >> thread >> call) || what != "start")
            continue;
        fraction.resize(9, '0');
        const int64_t ns = seconds * 1000000000 + std::stoll(fraction);
        if (source == "vid_in") {
            arms.push_back({ns, std::nullopt, false});
            video_thread = thread;
            video_call = call;
        } else if (source == "pvw_in" && !arms.empty() && !arms.back().preview_ns && thread == video_thread) {
            arms.back().preview_ns = ns;
            arms.back().back_to_back = call == video_call + 1;
        }
    }
    return arms;
}

// The arms of the pair stamped at stamp_ns (100 ns units), when they show
// a host stall: written back to back, more than a picture period apart.
// The thread arms the next pair before it waits for this pair's picture,
// so this pair's are the last but one vid_in arm before the stamp. The
// stamp and the log read the same clock, but the stamp's origin is a
// microsecond coarse: an arm that close to it may lie on either side.
std::optional<pair_arms> host_stall(const std::vector<pair_arms>& arms, int64_t stamp, double rate)
{
    constexpr int64_t clock_tolerance_ns = 2000;
    const int64_t stamp_ns = stamp * 100;
    const int64_t period_ns = int64_t(1e9 / rate);
    auto armed_by = [&](int64_t ns) {
        return size_t(std::upper_bound(arms.begin(), arms.end(), ns,
                                       [](int64_t t, const pair_arms& a) { return t < a.video_ns; }) -
                      arms.begin());
    };
    for (size_t count : {armed_by(stamp_ns - clock_tolerance_ns), armed_by(stamp_ns + clock_tolerance_ns)}) {
        if (count < 2)
            continue;
        const pair_arms& pair = arms[count - 2];
        if (pair.preview_ns && pair.back_to_back && *pair.preview_ns - pair.video_ns > period_ns)
            return pair;
    }
    return std::nullopt;
}

std::string stall_evidence(const pair_arms& pair, double rate)
{
    char text[240];
    snprintf(text, sizeof text,
             "vid_in armed at %.6f and pvw_in at %.6f, %.1f ms apart with no call of the capture thread between "
             "them; a picture lasts %.1f ms",
             double(pair.video_ns) / 1e9, double(*pair.preview_ns) / 1e9,
             double(*pair.preview_ns - pair.video_ns) / 1e6, 1e3 / rate);
    return text;
}

// What one stream's pictures showed.
struct stream_tally {
    size_t decode_errors = 0, unreadable = 0, unlike = 0, low = 0, bad_bars = 0, compared = 0, paired = 0,
           mismatched = 0, stalls = 0, disordered = 0, mistimed = 0;
    uint8_t settled_q = 0;
    double worst = 99, sum = 0;
    double latest = 0;   // the latest timecode behind its number's time (us)
    std::string first_problem;
    std::vector<std::string> stall_notes;

    void problem(size_t i, const std::string& text)
    {
        if (first_problem.empty())
            first_problem = "picture " + std::to_string(i) + ": " + text;
    }
};

// No picture's timecode more than 250 ms behind the earliest-stamped
// picture's on the input's grid. offsets: picture, timecode minus its
// number's time (us).
void check_timing(const std::vector<std::pair<size_t, double>>& offsets, stream_tally& t)
{
    if (offsets.empty())
        return;
    double earliest = offsets.front().second;
    for (const auto& [i, offset] : offsets)
        earliest = std::min(earliest, offset);
    for (const auto& [i, offset] : offsets) {
        t.latest = std::max(t.latest, offset - earliest);
        if (offset - earliest > 250000) {
            ++t.mistimed;
            t.problem(i, "stamped " + std::to_string(int((offset - earliest) / 1000)) + " ms behind its number's time");
        }
    }
}

// Checks every picture of one stream. A full stream's numbers go into
// full_numbers by timecode, for the previews checked after it.
stream_tally check_stream(const stream_record& s, const check_options& o, uint32_t input_width,
                          std::map<int64_t, uint32_t>& full_numbers, const std::vector<pair_arms>& arms)
{
    stream_tally t;
    const bool full = is_full(s);
    const picture_geometry g = source_geometry(s, input_width);
    t.settled_q = s.pictures.empty() ? 0 : s.pictures.back().q;
    bool settled = false;
    std::optional<uint32_t> previous;                 // number of the last picture read
    std::vector<std::pair<size_t, double>> offsets;   // picture, timecode minus number's time (us)
    std::vector<uint8_t> source(g.bytes());
    for (size_t i = 0; i < s.pictures.size(); ++i) {
        const picture_record& p = s.pictures[i];
        const decode_result d = speedhq_decode(p.bytes, fourcc_text(s.code), g.width, g.height);
        if (!d.picture) {
            ++t.decode_errors;
            t.problem(i, d.error);
            continue;
        }
        if (o.bars) {
            std::string failure;
            if (check_bars(*d.picture, failure)) {
                ++t.bad_bars;
                t.problem(i, failure);
            }
            continue;
        }
        const std::optional<uint32_t> number =
            read_picture_number(d.picture->y.data(), d.picture->width, d.picture->width, d.picture->height, g);
        if (!number) {
            ++t.unreadable;
            t.problem(i, "no readable counter");
            continue;
        }
        render_picture(source.data(), g, *number, o.interlaced ? uint8_t(*number % 2) : 2, test_pattern::moving);
        const double db = psnr(*d.picture, planes_of_source(source.data(), g.layout, g.stride, g.width, g.height));
        const std::string which = " (number " + std::to_string(*number) + ", Q " + std::to_string(p.q) + "): ";
        if (db < 20.0) {
            ++t.unlike;
            t.problem(i, "not the picture its counter names" + which + std::to_string(db) + " dB");
            continue;
        }
        if (previous && *number <= *previous) {
            ++t.disordered;
            t.problem(i, "after number " + std::to_string(*previous) + which);
        }
        previous = *number;
        // Where the picture's timecode lies against the input's grid.
        if (o.rate > 0)
            offsets.push_back({i, double(p.time_us) - double(*number) * 1e6 / o.rate});
        if (full) {
            full_numbers[p.timecode] = *number;
        } else if (const auto partner = full_numbers.find(p.timecode); partner != full_numbers.end()) {
            ++t.paired;
            if (partner->second != *number) {
                const std::string what =
                    "the full picture with its timecode is number " + std::to_string(partner->second) + which;
                if (const auto stall = *number < partner->second || o.core_log.empty()
                        ? std::nullopt
                        : host_stall(arms, p.timecode, o.stall_rate)) {
                    ++t.stalls;
                    t.stall_notes.push_back("picture " + std::to_string(i) + ": " + what +
                                            "host stall: " + stall_evidence(*stall, o.stall_rate));
                } else {
                    ++t.mismatched;
                    t.problem(i, what);
                }
            }
        }
        settled = settled || std::abs(int(p.q) - int(t.settled_q)) <= 2;
        if (!full || !settled)
            continue;
        ++t.compared;
        t.sum += db;
        t.worst = std::min(t.worst, db);
        if (db < 40.0) {
            ++t.low;
            t.problem(i, "after Q settled" + which + std::to_string(db) + " dB");
        }
    }
    check_timing(offsets, t);
    return t;
}

void print_tally(const stream_record& s, const stream_tally& t, bool bars)
{
    const bool full = is_full(s);
    printf("%s %dx%d: %zu pictures, %zu not decoded", s.code.c_str(), s.width, s.height, s.pictures.size(),
           t.decode_errors);
    if (bars)
        printf(", %zu with bars off", t.bad_bars);
    else
        printf(", %zu without a counter, %zu unlike their source", t.unreadable, t.unlike);
    if (!bars)
        printf(", %zu out of order, %zu off their timecode (latest %.0f ms)", t.disordered, t.mistimed,
               t.latest / 1000);
    if (!full && !bars)
        printf(", %zu beside their full picture, %zu of them another picture, %zu after a host stall", t.paired,
               t.mismatched, t.stalls);
    if (t.compared)
        printf(", %zu compared after Q settled at %u: PSNR lowest %.1f dB, mean %.1f dB, %zu below 40 dB", t.compared,
               t.settled_q, t.worst, t.sum / double(t.compared), t.low);
    printf("\n");
    for (const std::string& note : t.stall_notes)
        printf("  %s\n", note.c_str());
    if (!t.first_problem.empty())
        printf("  first problem: %s\n", t.first_problem.c_str());
}

bool failed(const stream_record& s, const stream_tally& t, bool bars)
{
    return s.pictures.empty() || t.decode_errors || t.unreadable || t.unlike || t.low || t.bad_bars || t.mismatched ||
        t.disordered || t.mistimed || (is_full(s) && !bars && !t.compared);
}

// Full streams first: their numbers are what the previews are held to.
std::vector<const stream_record*> full_streams_first(const std::map<int, stream_record>& streams)
{
    std::vector<const stream_record*> order;
    for (const auto& [index, s] : streams)
        if (is_full(s))
            order.push_back(&s);
    for (const auto& [index, s] : streams)
        if (!is_full(s))
            order.push_back(&s);
    return order;
}

}   // namespace

int main(int argc, char** argv)
{
    const std::optional<check_options> options = parse_arguments(argc, argv);
    if (!options) {
        fprintf(stderr,
                "usage: picture_check FILE.mkv moving|bars [--interlaced] [--rate PICTURES_A_SECOND] "
                "[--stalls CORE_LOG PICTURES_A_SECOND]\n");
        return 2;
    }
    std::map<int, stream_record> streams;
    if (!read_recording(options->path, streams) || streams.empty()) {
        fprintf(stderr, "picture_check: no video in %s\n", options->path);
        return 1;
    }
    std::string mismatch;
    if (!read_timecodes(std::string(options->path) + ".timecodes", streams, mismatch)) {
        fprintf(stderr, "picture_check: %s\n", mismatch.c_str());
        return 1;
    }
    std::vector<pair_arms> arms;
    if (!options->core_log.empty() && (arms = read_pair_arms(options->core_log)).empty()) {
        fprintf(stderr, "picture_check: no arms of vid_in in %s\n", options->core_log.c_str());
        return 1;
    }
    // The input's width is the full stream's (1920 when it is missing).
    uint32_t input_width = 1920;
    for (const auto& [index, s] : streams)
        if (is_full(s))
            input_width = uint32_t(s.width);
    std::map<int64_t, uint32_t> full_numbers;   // the full pictures' numbers by timecode, for their previews
    int failures = 0;
    for (const stream_record* s : full_streams_first(streams)) {
        const stream_tally t = check_stream(*s, *options, input_width, full_numbers, arms);
        print_tally(*s, t, options->bars);
        failures += failed(*s, t, options->bars);
    }
    return failures ? 1 : 0;
}
