#include "speedhq_pictures.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/avutil.h>
#include <libavutil/frame.h>
}

#include <cstring>
#include <stdexcept>
#include <string>

namespace ndi_test {

yuv_picture colour_bars(int width, int height, bool chroma_420, int rotation)
{
    yuv_picture picture{width, height, chroma_420, {}, {}, {}};
    int chroma_width = width / 2, chroma_height = chroma_420 ? height / 2 : height;
    picture.y.resize(size_t(width) * size_t(height));
    picture.cb.resize(size_t(chroma_width) * size_t(chroma_height));
    picture.cr.resize(picture.cb.size());
    for (int row = 0; row < height; ++row)
        for (int x = 0; x < width; ++x)
            picture.y[size_t(row) * size_t(width) + size_t(x)] = uint8_t(bar_colour(x * 8 / width, rotation).y);
    for (int row = 0; row < chroma_height; ++row)
        for (int x = 0; x < chroma_width; ++x) {
            const colour& c = bar_colour(x * 8 / chroma_width, rotation);
            picture.cb[size_t(row) * size_t(chroma_width) + size_t(x)] = uint8_t(c.cb);
            picture.cr[size_t(row) * size_t(chroma_width) + size_t(x)] = uint8_t(c.cr);
        }
    return picture;
}

speedhq_encoder::speedhq_encoder(int width, int height, bool chroma_420)
{
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_SPEEDHQ);
    context = avcodec_alloc_context3(codec);
    frame = av_frame_alloc();
    if (codec == nullptr || context == nullptr || frame == nullptr)
        throw std::runtime_error("no SpeedHQ encoder in this FFmpeg");
    context->width = width;
    context->height = height;
    context->pix_fmt = chroma_420 ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUV422P;
    context->time_base = AVRational{1, 60};
    context->flags |= AV_CODEC_FLAG_QSCALE;   // the Q of each picture is ours to choose
    int status = avcodec_open2(context, codec, nullptr);
    if (status < 0)
        throw std::runtime_error("cannot open the SpeedHQ encoder: " + std::to_string(status));
    frame->format = context->pix_fmt;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame, 0) < 0)
        throw std::runtime_error("out of memory");
}

speedhq_encoder::~speedhq_encoder()
{
    av_frame_free(&frame);
    avcodec_free_context(&context);
}

std::vector<uint8_t> speedhq_encoder::encode(const yuv_picture& picture, int q)
{
    if (av_frame_make_writable(frame) < 0)
        throw std::runtime_error("out of memory");
    const std::vector<uint8_t>* planes[3] = {&picture.y, &picture.cb, &picture.cr};
    for (int p = 0; p < 3; ++p) {
        int width = p == 0 ? picture.width : picture.width / 2;
        int height = p == 0 || !picture.chroma_420 ? picture.height : picture.height / 2;
        for (int row = 0; row < height; ++row)
            std::memcpy(frame->data[p] + ptrdiff_t(row) * frame->linesize[p],
                        planes[p]->data() + size_t(row) * size_t(width), size_t(width));
    }
    frame->quality = FF_QP2LAMBDA * (100 - q) / 2;   // the encoder writes Q = 100 - 2 qscale
    frame->pts = pictures++;

    AVPacket* packet = av_packet_alloc();
    if (avcodec_send_frame(context, frame) < 0 || avcodec_receive_packet(context, packet) < 0) {
        av_packet_free(&packet);
        throw std::runtime_error("the SpeedHQ encoder made no picture");
    }
    std::vector<uint8_t> coded(packet->data, packet->data + packet->size);
    av_packet_free(&packet);
    if (coded.empty() || coded[0] != q)
        throw std::runtime_error("the SpeedHQ encoder did not take Q " + std::to_string(q));
    return coded;
}

}   // namespace ndi_test
