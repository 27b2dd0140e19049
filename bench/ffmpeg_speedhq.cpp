#include "bench/ffmpeg_speedhq.h"

#include <time.h>

#include <cstring>
#include <stdexcept>

#include "sim/cores/video_pattern.h"
#include "sim/fpga/video_signal.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace bench {

namespace {

double thread_cpu_ms()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

}   // namespace

double ffmpeg_speedhq_ms(const std::vector<yuv_planes>& pictures, bool yuv420, int quality, int count)
{
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_SPEEDHQ);
    if (!codec || pictures.empty() || count <= 0)
        return -1;
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->width = int(pictures[0].width);
    context->height = int(pictures[0].height);
    context->pix_fmt = yuv420 ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUV422P;
    context->time_base = {1, 60};
    context->flags |= AV_CODEC_FLAG_QSCALE;
    context->thread_count = 1;
    if (avcodec_open2(context, codec, nullptr) < 0) {
        avcodec_free_context(&context);
        return -1;
    }
    std::vector<AVFrame*> frames;
    for (const yuv_planes& planes : pictures) {
        AVFrame* frame = av_frame_alloc();
        frame->format = context->pix_fmt;
        frame->width = context->width;
        frame->height = context->height;
        av_frame_get_buffer(frame, 0);
        for (int p = 0; p < 3; ++p)
            for (uint32_t line = 0; line < planes.plane_height(p); ++line)
                memcpy(frame->data[p] + line * frame->linesize[p], &planes.plane(p)[line * planes.plane_width(p)],
                       planes.plane_width(p));
        frame->quality = FF_QP2LAMBDA * (100 - quality) / 2;
        frames.push_back(frame);
    }
    AVPacket* packet = av_packet_alloc();
    const double start = thread_cpu_ms();
    for (int i = 0; i < count; ++i) {
        AVFrame* frame = frames[size_t(i) % frames.size()];
        frame->pts = i;
        avcodec_send_frame(context, frame);
        while (avcodec_receive_packet(context, packet) == 0)
            av_packet_unref(packet);
    }
    avcodec_send_frame(context, nullptr);
    while (avcodec_receive_packet(context, packet) == 0)
        av_packet_unref(packet);
    const double ms = (thread_cpu_ms() - start) / count;
    av_packet_free(&packet);
    for (AVFrame*& frame : frames)
        av_frame_free(&frame);
    avcodec_free_context(&context);
    return ms;
}

std::vector<yuv_planes> input_pictures(const std::string& signal, int count, uint32_t first)
{
    const std::optional<vfpga::video_signal> input = vfpga::video_signal::parse(signal);
    if (!input || !input->present)
        throw std::runtime_error("not an input signal: " + signal);
    const vfpga::picture_geometry g = vfpga::full_geometry(*input, vfpga::pixel_layout::yuv422);
    std::vector<uint8_t> picture(g.bytes());
    std::vector<yuv_planes> pictures;
    for (int i = 0; i < count; ++i) {
        const uint32_t number = first + uint32_t(i);
        render_picture(picture.data(), g, number, input->interlaced ? uint8_t(number % 2) : 2);
        pictures.push_back(planes_of_source(picture.data(), g.layout, g.stride, g.width, g.height));
    }
    return pictures;
}

}   // namespace bench
