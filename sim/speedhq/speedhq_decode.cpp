#include "sim/speedhq/speedhq_decode.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

namespace {

std::string av_error_text(int error)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

uint32_t upper_case(uint32_t fourcc)
{
    uint32_t upper = 0;
    for (unsigned i = 0; i < 4; ++i)
        upper |= uint32_t(std::toupper(int((fourcc >> (8 * i)) & 0xFF))) << (8 * i);
    return upper;
}

// Frees FFmpeg's objects however the decode ends.
struct decoder {
    AVCodecContext* context = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;

    ~decoder()
    {
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&context);
    }
};

void copy_plane(const AVFrame* frame, int index, uint32_t width, uint32_t height, std::vector<uint8_t>& out)
{
    out.resize(size_t(width) * height);
    for (uint32_t line = 0; line < height; ++line)
        memcpy(&out[size_t(line) * width], frame->data[index] + size_t(line) * frame->linesize[index], width);
}

}   // namespace

decode_result speedhq_decode(const std::vector<uint8_t>& packet, uint32_t fourcc, uint32_t width, uint32_t height)
{
    decode_result result;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_SPEEDHQ);
    if (!codec) {
        result.error = "FFmpeg has no speedhq decoder";
        return result;
    }
    decoder d;
    d.context = avcodec_alloc_context3(codec);
    d.packet = av_packet_alloc();
    d.frame = av_frame_alloc();
    if (!d.context || !d.packet || !d.frame) {
        result.error = "out of memory";
        return result;
    }
    d.context->codec_tag = upper_case(fourcc);
    d.context->width = int(width);
    d.context->height = int(height);
    int status = avcodec_open2(d.context, codec, nullptr);
    if (status < 0) {
        result.error = "cannot open the decoder: " + av_error_text(status);
        return result;
    }
    if ((status = av_new_packet(d.packet, int(packet.size()))) < 0) {
        result.error = "cannot make a packet: " + av_error_text(status);
        return result;
    }
    memcpy(d.packet->data, packet.data(), packet.size());
    if ((status = avcodec_send_packet(d.context, d.packet)) < 0 ||
        (status = avcodec_receive_frame(d.context, d.frame)) < 0) {
        result.error = "cannot decode: " + av_error_text(status);
        return result;
    }
    const AVPixelFormat format = AVPixelFormat(d.frame->format);
    if (format != AV_PIX_FMT_YUV420P && format != AV_PIX_FMT_YUV422P) {
        result.error = "unexpected pixel format " + std::to_string(int(format));
        return result;
    }
    yuv_planes& p = result.picture.emplace();
    p.width = uint32_t(d.frame->width);
    p.height = uint32_t(d.frame->height);
    p.chroma_width = (p.width + 1) / 2;
    p.chroma_height = format == AV_PIX_FMT_YUV420P ? (p.height + 1) / 2 : p.height;
    copy_plane(d.frame, 0, p.width, p.height, p.y);
    copy_plane(d.frame, 1, p.chroma_width, p.chroma_height, p.cb);
    copy_plane(d.frame, 2, p.chroma_width, p.chroma_height, p.cr);
    return result;
}

std::array<uint16_t, 64> reciprocals_for_quality(int q)
{
    static constexpr uint8_t intra_matrix[64] = {
        8,  16, 19, 22, 26, 27, 29, 34, 16, 16, 22, 24, 27, 29, 34, 37, 19, 22, 26, 27, 29, 34,
        34, 38, 22, 22, 26, 27, 29, 34, 37, 40, 22, 26, 27, 29, 32, 35, 40, 48, 26, 27, 29, 32,
        35, 40, 48, 58, 26, 27, 29, 34, 38, 46, 56, 69, 27, 29, 35, 38, 46, 56, 69, 83,
    };
    std::array<uint16_t, 64> v{};
    v[0] = 0x8000;
    for (unsigned i = 1; i < 64; ++i) {
        const int m = (100 - q) * intra_matrix[i];
        v[i] = uint16_t(std::min((m / 2 + 0x80000) / m, 0x8000));
    }
    return v;
}

uint32_t trimmed_length(const uint8_t* slice, uint32_t reported)
{
    if (reported == 0 || slice[reported - 1] != 0)
        return reported;
    for (uint32_t j = reported - 1; j-- > 0;)
        if (slice[j] != 0)
            return slice[j] & 0x80 ? j + 2 : j + 1;
    return 0;
}

std::vector<uint8_t> assemble_picture(uint8_t q, const std::array<coded_slice, 4>& slices)
{
    std::vector<uint8_t> out = {q, 4, 0, 0};
    for (const coded_slice& s : slices) {
        const uint32_t length = trimmed_length(s.data, s.reported);
        const size_t start = out.size();
        out.insert(out.end(), s.data, s.data + length);
        for (unsigned i = 0; i < 3 && start + i < out.size(); ++i)
            out[start + i] = uint8_t(length >> (8 * i));
    }
    out.insert(out.end(), 4, 0);
    return out;
}

yuv_planes planes_of_source(const uint8_t* picture, vfpga::pixel_layout layout, uint32_t stride, uint32_t width,
                            uint32_t height)
{
    yuv_planes p;
    p.width = width;
    p.height = height;
    p.chroma_width = width / 2;
    const bool yuv420 = layout == vfpga::pixel_layout::yuv420;
    p.chroma_height = yuv420 ? (height + 1) / 2 : height;
    p.y.resize(size_t(width) * height);
    p.cb.resize(size_t(p.chroma_width) * p.chroma_height);
    p.cr.resize(p.cb.size());
    for (uint32_t line = 0; line < height; ++line) {
        const uint8_t* in = picture + size_t(line) * stride;
        uint8_t* y = &p.y[size_t(line) * width];
        if (!yuv420) {
            uint8_t* cb = &p.cb[size_t(line) * p.chroma_width];
            uint8_t* cr = &p.cr[size_t(line) * p.chroma_width];
            for (uint32_t j = 0; j < width / 2; ++j) {
                cb[j] = in[4 * j];
                y[2 * j] = in[4 * j + 1];
                cr[j] = in[4 * j + 2];
                y[2 * j + 1] = in[4 * j + 3];
            }
            continue;
        }
        memcpy(y, in, width);
        std::vector<uint8_t>& chroma = line % 2 ? p.cr : p.cb;
        memcpy(&chroma[size_t(line / 2) * p.chroma_width], in + vfpga::chroma_offset(stride), p.chroma_width);
    }
    if (yuv420 && height % 2)   // the last line pair has no V line: as the core, repeat the last one
        memcpy(&p.cr[size_t(height / 2) * p.chroma_width], &p.cr[size_t(height / 2 - 1) * p.chroma_width],
               p.chroma_width);
    return p;
}

double psnr(const yuv_planes& a, const yuv_planes& b)
{
    double squares = 0;
    size_t samples = 0;
    for (int i = 0; i < 3; ++i) {
        const std::vector<uint8_t>& pa = a.plane(i);
        const std::vector<uint8_t>& pb = b.plane(i);
        const size_t n = std::min(pa.size(), pb.size());
        for (size_t k = 0; k < n; ++k) {
            const double d = double(pa[k]) - double(pb[k]);
            squares += d * d;
        }
        samples += n;
    }
    if (samples == 0 || squares == 0)
        return 99;
    return 10 * std::log10(255.0 * 255.0 * double(samples) / squares);
}

region_statistics region_of(const yuv_planes& picture, int plane, uint32_t x, uint32_t line, uint32_t width,
                            uint32_t lines)
{
    region_statistics r;
    r.lowest = 255;
    double sum = 0;
    for (uint32_t l = line; l < line + lines; ++l)
        for (uint32_t c = x; c < x + width; ++c) {
            const int v = picture.at(plane, c, l);
            sum += v;
            r.lowest = std::min(r.lowest, v);
            r.highest = std::max(r.highest, v);
        }
    r.mean = width && lines ? sum / (double(width) * lines) : 0;
    return r;
}
