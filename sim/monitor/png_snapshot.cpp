#include "sim/monitor/png_snapshot.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <cstdio>
#include <cstring>
#include <memory>

#include "sim/monitor/av_error_text.h"
#include "sim/monitor/speedhq_codes.h"

namespace ndi_monitor {

namespace {

struct av_deleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
    void operator()(SwsContext* scaler) const { sws_freeContext(scaler); }
};
template <class T>
using av_ptr = std::unique_ptr<T, av_deleter>;

// One picture through an opened decoder; the frame, or an FFmpeg error code.
int decode(AVCodecContext* decoder, const uint8_t* data, size_t size, av_ptr<AVFrame>& frame)
{
    av_ptr<AVPacket> packet(av_packet_alloc());
    frame.reset(av_frame_alloc());
    if (!packet || !frame || av_new_packet(packet.get(), int(size)) < 0)
        return AVERROR(ENOMEM);
    std::memcpy(packet->data, data, size);
    int status = avcodec_send_packet(decoder, packet.get());
    if (status >= 0)
        status = avcodec_receive_frame(decoder, frame.get());
    return status;
}

}   // namespace

void png_snapshot::take(kept_picture& into, const ndi_wire::video_fields& video, std::vector<uint8_t>& body,
                        size_t offset)
{
    into.video = video;
    into.body.swap(body);
    into.offset = offset;
    into.present = true;
}

bool png_snapshot::same_format(const ndi_wire::video_fields& a, const ndi_wire::video_fields& b)
{
    return a.fourcc == b.fourcc && a.xres == b.xres && a.yres == b.yres &&
        speedhq::is_field(a.frame_format_type) == speedhq::is_field(b.frame_format_type);
}

void png_snapshot::keep(const ndi_wire::video_fields& video, std::vector<uint8_t>& body, size_t offset)
{
    if (!speedhq::is_full_stream(video.fourcc) || offset > body.size())
        return;
    if (whole_count > 0 && !same_format(whole[0].video, video))
        whole_count = 0;   // the input changed: the picture kept is not what the stream shows now

    if (!speedhq::is_field(video.frame_format_type)) {
        take(whole[0], video, body, offset);
        whole_count = 1;
        lone_field.present = false;
        return;
    }

    // Dropped fields must not pair a first field with the second field of a
    // later frame.
    const ndi_wire::video_fields& first = lone_field.video;
    int64_t gap = video.timecode - first.timecode;
    int64_t period = video.frame_rate_n > 0 && video.frame_rate_d > 0
        ? int64_t(video.frame_rate_d) * 10000000 / video.frame_rate_n
        : 0;
    bool pairs = video.frame_format_type == speedhq::format_field_1 && lone_field.present &&
        first.frame_format_type == speedhq::format_field_0 && same_format(first, video) &&
        (period == 0 || (gap >= 0 && gap <= period * 3 / 2));
    if (pairs) {
        std::swap(whole[0], lone_field);
        take(whole[1], video, body, offset);
        whole_count = 2;
        lone_field.present = false;
    } else {
        take(lone_field, video, body, offset);
    }
}

bool png_snapshot::write()
{
    if (!has_picture())
        return true;
    const kept_picture* sources[2] = {&whole[0], &whole[1]};
    int count = whole_count;
    if (count == 0) {
        sources[0] = &lone_field;
        count = 1;
    }
    const ndi_wire::video_fields& video = sources[0]->video;
    bool fields = speedhq::is_field(video.frame_format_type);
    int width = video.xres, height = video.yres;
    int frame_height = fields ? 2 * height : height;
    if (width <= 0 || height <= 0)
        return fail("a picture of " + std::to_string(width) + "x" + std::to_string(height), AVERROR_INVALIDDATA);

    const AVCodec* speedhq_decoder = avcodec_find_decoder(AV_CODEC_ID_SPEEDHQ);
    av_ptr<AVCodecContext> decoder(avcodec_alloc_context3(speedhq_decoder));
    if (!decoder)
        return fail("no SpeedHQ decoder", AVERROR_DECODER_NOT_FOUND);
    decoder->codec_tag = speedhq::decoder_tag(video.fourcc);   // it picks the chroma layout by the tag
    decoder->width = width;
    decoder->height = height;
    int status = avcodec_open2(decoder.get(), speedhq_decoder, nullptr);
    if (status < 0)
        return fail("cannot open the SpeedHQ decoder", status);

    av_ptr<AVFrame> rgb(av_frame_alloc());
    if (!rgb)
        return fail("out of memory", AVERROR(ENOMEM));
    rgb->format = AV_PIX_FMT_RGB24;
    rgb->width = width;
    rgb->height = frame_height;
    if ((status = av_frame_get_buffer(rgb.get(), 0)) < 0)
        return fail("out of memory", status);

    int colours = frame_height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601;
    for (int k = 0; k < count; ++k) {
        av_ptr<AVFrame> picture;
        if ((status = decode(decoder.get(), sources[k]->data(), sources[k]->size(), picture)) < 0)
            return fail("cannot decode the last " + ndi_wire::fourcc_text(video.fourcc) + " picture", status);
        if (picture->width != width || picture->height != height)
            return fail("the decoder made a picture of another size", AVERROR_INVALIDDATA);

        // Woven fields go to every other line of the frame; a lone field is
        // scaled to the whole frame.
        int lines = count == 2 ? height : frame_height;
        av_ptr<SwsContext> scaler(sws_getContext(width, height, AVPixelFormat(picture->format), width, lines,
                                                 AV_PIX_FMT_RGB24, SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT,
                                                 nullptr, nullptr, nullptr));
        if (!scaler)
            return fail("swscale cannot convert the decoded picture", AVERROR(EINVAL));
        const int* coefficients = sws_getCoefficients(colours);
        sws_setColorspaceDetails(scaler.get(), coefficients, 0, coefficients, 1, 0, 1 << 16, 1 << 16);
        uint8_t* target[4] = {rgb->data[0] + (count == 2 ? k * rgb->linesize[0] : 0), nullptr, nullptr, nullptr};
        int target_stride[4] = {rgb->linesize[0] * (count == 2 ? 2 : 1), 0, 0, 0};
        sws_scale(scaler.get(), picture->data, picture->linesize, 0, height, target, target_stride);
    }

    const AVCodec* png = avcodec_find_encoder(AV_CODEC_ID_PNG);
    av_ptr<AVCodecContext> encoder(avcodec_alloc_context3(png));
    if (!encoder)
        return fail("no PNG encoder", AVERROR_ENCODER_NOT_FOUND);
    encoder->width = width;
    encoder->height = frame_height;
    encoder->pix_fmt = AV_PIX_FMT_RGB24;
    encoder->time_base = AVRational{1, 1};
    av_ptr<AVPacket> packet(av_packet_alloc());
    if (!packet)
        return fail("out of memory", AVERROR(ENOMEM));
    if ((status = avcodec_open2(encoder.get(), png, nullptr)) < 0 ||
        (status = avcodec_send_frame(encoder.get(), rgb.get())) < 0 ||
        (status = avcodec_receive_packet(encoder.get(), packet.get())) < 0)
        return fail("cannot encode the PNG", status);

    FILE* file = std::fopen(file_path.c_str(), "wb");
    if (file == nullptr)
        return fail("cannot open " + file_path, AVERROR(errno));
    bool written = std::fwrite(packet->data, 1, size_t(packet->size), file) == size_t(packet->size);
    written = std::fclose(file) == 0 && written;
    if (!written) {
        std::remove(file_path.c_str());
        return fail("cannot write " + file_path, AVERROR(EIO));
    }

    std::string code = ndi_wire::fourcc_text(video.fourcc);
    std::string size = std::to_string(width) + "x" + std::to_string(height);
    described = std::to_string(width) + "x" + std::to_string(frame_height) + " from " +
        (!fields          ? "one " + code + " " + size + " picture"
             : count == 2 ? "two " + code + " " + size + " fields"
                          : "one " + code + " " + size + " field, scaled");
    return true;
}

bool png_snapshot::fail(const std::string& what, int av_error)
{
    failure = what + ": " + av_error_text(av_error);
    return false;
}

}   // namespace ndi_monitor
