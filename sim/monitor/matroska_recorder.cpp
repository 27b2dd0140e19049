#include "sim/monitor/matroska_recorder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/mathematics.h>
}

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>

#include "sim/monitor/av_error_text.h"
#include "sim/monitor/speedhq_codes.h"

namespace ndi_monitor {

namespace {

constexpr AVRational ndi_time_base{1, 10000000};

}   // namespace

matroska_recorder::matroska_recorder(std::string path, std::chrono::milliseconds hold)
    : file_path(std::move(path)), hold_time(hold)
{
}

matroska_recorder::~matroska_recorder()
{
    finish();
}

void matroska_recorder::add_video(const ndi_wire::video_fields& video, const uint8_t* data, size_t size,
                                  clock::time_point now)
{
    track_key key;
    key.fourcc = video.fourcc;
    key.width = video.xres;
    key.height = video.yres;
    if (!started && !tracks.contains(key))
        tracks[key].video = video;
    int64_t duration = 0;
    if (video.frame_rate_n > 0 && video.frame_rate_d > 0)
        duration = int64_t(video.frame_rate_d) * 10000000 / video.frame_rate_n;
    add(key, video.timecode, duration, data, size, now);
}

void matroska_recorder::add_audio(const ndi_wire::audio_fields& audio, const uint8_t* data, size_t size,
                                  clock::time_point now)
{
    track_key key;
    key.audio = true;
    if (!started && !tracks.contains(key))
        tracks[key].audio = audio;
    auto it = tracks.find(key);
    if (it != tracks.end() &&
        (it->second.audio.sample_rate != audio.sample_rate || it->second.audio.channels != audio.channels)) {
        ++left_out;
        return;
    }
    int64_t duration = audio.sample_rate > 0 ? int64_t(audio.samples) * 10000000 / audio.sample_rate : 0;
    add(key, audio.timecode, duration, data, size, now);
}

void matroska_recorder::add(const track_key& key, int64_t timecode, int64_t duration_100ns, const uint8_t* data,
                            size_t size, clock::time_point now)
{
    if (failed || finished)
        return;
    if (!any_arrival) {
        any_arrival = true;
        first_arrival = now;
    }
    if (!started) {
        held.push_back({key, timecode, duration_100ns, std::vector<uint8_t>(data, data + size)});
        tick(now);
        return;
    }
    if (!tracks.contains(key)) {
        ++left_out;
        return;
    }
    write_packet(key, timecode, duration_100ns, data, size);
}

void matroska_recorder::tick(clock::time_point now)
{
    if (!started && !failed && !finished && any_arrival && now - first_arrival >= hold_time)
        start_file();
}

int matroska_recorder::cadence(const track_key& key, const ndi_wire::video_fields& video) const
{
    if (video.frame_rate_n <= 0 || video.frame_rate_d <= 0)
        return 1;
    std::vector<int64_t> times;
    for (const auto& packet : held)
        if (packet.key == key)
            times.push_back(packet.timecode);
    if (times.size() < 3)
        return 1;
    std::vector<int64_t> steps;
    for (size_t i = 1; i < times.size(); ++i)
        steps.push_back(times[i] - times[i - 1]);
    std::nth_element(steps.begin(), steps.begin() + long(steps.size() / 2), steps.end());
    const double period = double(video.frame_rate_d) * 1e7 / video.frame_rate_n;
    return std::max(1, int(std::lround(double(steps[steps.size() / 2]) / period)));
}

bool matroska_recorder::start_file()
{
    started = true;
    timecodes = std::fopen((file_path + ".timecodes").c_str(), "w");
    if (timecodes == nullptr) {
        fail("cannot write " + file_path + ".timecodes", AVERROR(errno));
        return false;
    }
    int status = avformat_alloc_output_context2(&context, nullptr, "matroska", file_path.c_str());
    if (status < 0 || context == nullptr) {
        fail("cannot make a Matroska muxer", status);
        return false;
    }

    for (auto& [key, entry] : tracks) {
        if (!key.audio)
            entry.rate_divisor = cadence(key, entry.video);
        AVStream* stream = avformat_new_stream(context, nullptr);
        if (stream == nullptr) {
            fail("cannot add a track", AVERROR(ENOMEM));
            return false;
        }
        stream->time_base = ndi_time_base;
        AVCodecParameters* codec = stream->codecpar;
        if (key.audio) {
            codec->codec_type = AVMEDIA_TYPE_AUDIO;
            codec->codec_id = AV_CODEC_ID_PCM_S32LE;
            codec->sample_rate = entry.audio.sample_rate;
            av_channel_layout_default(&codec->ch_layout, entry.audio.channels);
            codec->bits_per_coded_sample = 32;
            codec->bits_per_raw_sample = 32;
            codec->block_align = entry.audio.channels * 4;
            codec->bit_rate = int64_t(entry.audio.sample_rate) * entry.audio.channels * 32;
        } else {
            codec->codec_type = AVMEDIA_TYPE_VIDEO;
            codec->codec_id = AV_CODEC_ID_SPEEDHQ;
            // The preview codes are the same bitstream as the full ones, but
            // decoders know SpeedHQ by the upper-case codes only: the tag is
            // upper-cased and the sender's own code kept as the track's title.
            codec->codec_tag = speedhq::decoder_tag(key.fourcc);
            std::string code = ndi_wire::fourcc_text(key.fourcc);
            av_dict_set(&stream->metadata, "title", code.c_str(), 0);
            // Each field is a picture of the track, at the field rate: what
            // a player or a weave filter needs to know is which comes first.
            if (speedhq::is_field(entry.video.frame_format_type))
                av_dict_set(&stream->metadata, "FIELDS",   // Matroska's tag names are upper-case
                            entry.video.frame_format_type == speedhq::format_field_0
                                ? "one field a picture, the first picture field 0 (top)"
                                : "one field a picture, the first picture field 1 (bottom)",
                            0);
            codec->width = key.width;
            codec->height = key.height;
            codec->format = speedhq::is_420(key.fourcc) ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUV422P;
            float aspect = entry.video.picture_aspect_ratio;
            if (aspect > 0 && key.width > 0 && key.height > 0)
                codec->sample_aspect_ratio = av_d2q(double(aspect) * key.height / key.width, 1000);
            if (entry.video.frame_rate_n > 0 && entry.video.frame_rate_d > 0)
                av_reduce(&stream->avg_frame_rate.num, &stream->avg_frame_rate.den, entry.video.frame_rate_n,
                          int64_t(entry.video.frame_rate_d) * entry.rate_divisor, INT32_MAX);
        }
        entry.stream = stream;
    }

    status = avio_open(&context->pb, file_path.c_str(), AVIO_FLAG_WRITE);
    if (status < 0) {
        fail("cannot open " + file_path, status);
        return false;
    }
    status = avformat_write_header(context, nullptr);
    if (status < 0) {
        fail("cannot write the Matroska header", status);
        return false;
    }
    header_written = true;

    base_timecode = held.empty() ? 0 : held.front().timecode;
    for (const auto& packet : held)
        base_timecode = std::min(base_timecode, packet.timecode);
    std::deque<held_packet> backlog;
    backlog.swap(held);
    for (const auto& packet : backlog)
        if (!write_packet(packet.key, packet.timecode, packet.duration_100ns, packet.data.data(), packet.data.size()))
            return false;
    return true;
}

bool matroska_recorder::write_packet(const track_key& key, int64_t timecode, int64_t duration_100ns,
                                     const uint8_t* data, size_t size)
{
    if (failed)
        return false;
    track& entry = tracks.at(key);
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr || av_new_packet(packet, int(size)) < 0) {
        av_packet_free(&packet);
        fail("out of memory", AVERROR(ENOMEM));
        return false;
    }
    std::copy(data, data + size, packet->data);

    // Timecodes may jitter or repeat; a Matroska track must still go forward.
    int64_t time = std::max<int64_t>(timecode - base_timecode, 0);
    int64_t dts = av_rescale_q(time, ndi_time_base, entry.stream->time_base);
    if (entry.last_dts != INT64_MIN && dts <= entry.last_dts)
        dts = entry.last_dts + 1;
    entry.last_dts = dts;
    packet->dts = packet->pts = dts;
    packet->duration = av_rescale_q(duration_100ns * entry.rate_divisor, ndi_time_base, entry.stream->time_base);
    packet->stream_index = entry.stream->index;
    packet->flags |= AV_PKT_FLAG_KEY;

    int status = av_interleaved_write_frame(context, packet);
    av_packet_free(&packet);
    if (status < 0) {
        fail("cannot write to " + file_path, status);
        return false;
    }
    if (!key.audio && std::fprintf(timecodes, "%d %" PRId64 "\n", entry.stream->index, timecode) < 0) {
        fail("cannot write " + file_path + ".timecodes", AVERROR(errno));
        return false;
    }
    ++written;
    return true;
}

bool matroska_recorder::finish()
{
    if (finished)
        return !failed;
    if (!started && !failed) {
        if (any_arrival)
            start_file();
    }
    finished = true;
    if (context != nullptr) {
        if (header_written) {
            int status = av_write_trailer(context);
            if (status < 0)
                fail("cannot finish " + file_path, status);
        }
        if (context->pb != nullptr)
            avio_closep(&context->pb);
        avformat_free_context(context);
        context = nullptr;
    }
    if (timecodes != nullptr && std::fclose(timecodes) != 0)
        fail("cannot write " + file_path + ".timecodes", AVERROR(errno));
    timecodes = nullptr;
    held.clear();
    return !failed;
}

std::string matroska_recorder::describe_tracks() const
{
    std::string text;
    for (const auto& [key, entry] : tracks) {
        if (!text.empty())
            text += ", ";
        if (key.audio)
            text += "audio pcm_s32le " + std::to_string(entry.audio.sample_rate) + " Hz " +
                std::to_string(entry.audio.channels) + " ch";
        else
            text += "video " + ndi_wire::fourcc_text(key.fourcc) + " " + std::to_string(key.width) + "x" +
                std::to_string(key.height);
    }
    return text;
}

void matroska_recorder::fail(const std::string& what, int av_error)
{
    if (failed)
        return;
    failed = true;
    failure = what + ": " + av_error_text(av_error);
}

}   // namespace ndi_monitor
