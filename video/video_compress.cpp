#include "video/video_compress.h"

#include <cstdio>
#include <cstring>

#include "base/debug_log.h"
#include "hw/hardware.h"
#include "ndi/network_send.h"

namespace {

void put_le32(uint8_t* p, uint32_t value)
{
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
    p[2] = uint8_t(value >> 16);
    p[3] = uint8_t(value >> 24);
}

void join(std::thread& thread)
{
    if (thread.joinable())
        thread.join();
}

}  // namespace

video_compress::video_compress(std::shared_ptr<::hardware> hardware, std::shared_ptr<::network_send> network_send)
    : hw(std::move(hardware)), sender(std::move(network_send))
{
    debug_print(3, "video_compress Constructor\n");
}

video_compress::~video_compress()
{
    debug_print(3, "\n video_compress Destructor\n");
    fflush(stdout);
    // Each marker goes in only once the thread upstream of its queue has
    // ended, so nothing is queued behind it.
    push_frame(nullptr);
    join(compress_thread);
    push_compressed(nullptr);
    join(copy_thread);
    push_send(nullptr);
    join(full_send_thread);
    join(preview_send_thread);
}

void video_compress::enable()
{
    input_queue.run();
}

void video_compress::push_frame(std::shared_ptr<video_capture::frame_pair_t> pair)
{
    const char mark = !pair ? 0 : pair->preview ? 'b' : 'q';
    input_queue.push(std::move(pair), mark, '!');
}

void video_compress::push_compressed(std::shared_ptr<frame_t> frame)
{
    compressed_queue.push(std::move(frame), 'n', '@');
}

void video_compress::push_send(std::shared_ptr<frame_t> frame)
{
    if (!frame) {
        full_queue.push_unbounded(nullptr, 'x');
        preview_queue.push_unbounded(nullptr, 'X');
    } else if (frame->stream != 0) {
        preview_queue.push(std::move(frame), 'F', '$');
    } else {
        full_queue.push(std::move(frame), 'f', '#');
    }
}

void video_compress::assemble(frame_t& frame)
{
    // Sized from the slice table itself, so that a stale size can never
    // let the copy run past the new buffer.
    uint32_t total = 8;
    for (uint32_t length : frame.slice_size)
        total += length;
    auto data = std::make_unique_for_overwrite<uint8_t[]>(total);
    uint8_t* p = data.get();
    put_le32(p, frame.header);
    p += 4;
    for (int i = 0; i < 4; ++i) {
        if (frame.slice_size[i]) {
            memcpy(p, frame.slice_data[i], frame.slice_size[i]);
            p += frame.slice_size[i];
        }
    }
    put_le32(p, frame.trailer);
    frame.data = std::move(data);
    frame.size = total;
}
