// The video compressor: encoder cores, rate control and the four bounded
// queues that connect its threads.
//
//   capture thread -> input_queue -> "vidcomp" (compress_frames)
//     -> compressed_queue -> "vidcomp:copy" (copy_frames)
//     -> full_queue -> "send_full", preview_queue -> "send_prvw"
//
// Every queue keeps at most three entries after a push, dropping the oldest
// (visible in the debug log at the default level), so a slow consumer never
// holds up its producer. An empty reference is the stop marker of the
// queue's consumer; the destructor pushes one into each queue, upstream
// first, and joins each consumer before the next marker.
//
// Threads: each queue has its own lock (see frame_queue); `running` is the
// input queue's gate, guarded by its lock. The records travel between the
// threads and are changed only by the thread that holds them.
#pragma once

#include <cstdint>
#include <memory>
#include <thread>

#include "base/frame_queue.h"
#include "video/video_capture.h"

class hardware;
class network_send;

class video_compress {
public:
    // One coded picture of one stream.
    struct frame_t {
        int32_t stream = 0;              // 0 full resolution, 1 preview
        int32_t format = 0;              // 1 for a 4:2:0 source, else 0
        int32_t width_partial = 0;       // 4:2:2 width not a multiple of 64
        uint32_t width = 0;              // coded width
        uint32_t height = 0;
        uint32_t stride = 0;
        uint32_t frame_rate_n = 0;
        uint32_t frame_rate_d = 0;
        int32_t fourcc = 0;              // first character in the low byte
        int64_t timestamp = 0;           // 100 ns units
        int32_t field = 0;               // 0 first, 1 second field, 2 progressive
        int32_t q = 0;                   // quality the picture is coded with
        int32_t q_slot = 0;              // quantiser-table slot holding q's table
        uint32_t address = no_chunk;     // chunk offset in the reserved memory
        uint32_t core_bytes = 0;         // bytes of the chunk per encoder core
        uint32_t slice_size[4] = {};     // trimmed slice lengths
        uint32_t header = 0;             // written before the slices
        uint32_t trailer = 0;            // written after them
        const uint8_t* slice_data[4] = {};   // slices in the mapped output region
        std::unique_ptr<uint8_t[]> data;     // the assembled frame
        uint32_t size = 0;               // 4 + slice sizes + 4
    };

    static constexpr uint32_t no_chunk = 0xFFFFFFFF;

    video_compress(std::shared_ptr<::hardware> hardware, std::shared_ptr<::network_send> network_send);
    // Stops the threads in pipeline order, each after the pictures queued
    // before its stop marker.
    ~video_compress();
    video_compress(const video_compress&) = delete;
    video_compress& operator=(const video_compress&) = delete;

    // Opens the input queue; pairs pushed before are discarded. Called once
    // by main when the whole video path is built.
    void enable();

    // The hand-offs; none of them waits for the consumer. An empty
    // reference is the stop marker (push_send's reaches both send queues).
    void push_frame(std::shared_ptr<video_capture::frame_pair_t> pair);
    void push_compressed(std::shared_ptr<frame_t> frame);
    void push_send(std::shared_ptr<frame_t> frame);

    // Copies header, the four slices and trailer into a new data buffer of
    // the frame, replacing the old one.
    static void assemble(frame_t& frame);

private:
    std::shared_ptr<::hardware> hw;
    std::shared_ptr<::network_send> sender;

    // The consumers: "vidcomp", "vidcomp:copy", "send_full", "send_prvw".
    std::thread compress_thread;
    std::thread copy_thread;
    std::thread full_send_thread;
    std::thread preview_send_thread;

    frame_queue<video_capture::frame_pair_t> input_queue{false};   // running once enabled
    frame_queue<frame_t> compressed_queue;
    frame_queue<frame_t> full_queue;
    frame_queue<frame_t> preview_queue;
};
