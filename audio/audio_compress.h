// The audio send path: a short queue of captured blocks and the thread
// "audcomp" that sends them through the NDI sender as interleaved 32-bit
// audio, so that the capture thread never waits on the network. Nothing is
// compressed.
//
// Threads: push_frame is called by "audcap" (and by the destructor); enable
// by main; "audcomp" runs send_frames and sends outside the queue's lock.
#pragma once

#include <atomic>
#include <memory>
#include <thread>

#include "audio/audio_capture.h"
#include "base/frame_queue.h"

class hardware;
class network_send;

class audio_compress {
public:
    audio_compress(std::shared_ptr<hardware> hw, std::shared_ptr<network_send> sender);
    ~audio_compress();
    audio_compress(const audio_compress&) = delete;
    audio_compress& operator=(const audio_compress&) = delete;

    // Blocks pushed before this are dropped.
    void enable();
    // Never waits: queues the block (an empty one ends "audcomp" once the
    // blocks ahead of it are sent) and drops the oldest beyond the limit.
    void push_frame(std::shared_ptr<audio_capture::frame_t> frame);
    void send_audio(const audio_capture::frame_t& frame);

    // Blocks sent and dropped by the queue bound, for a supervisor: relaxed
    // counts that any thread may read.
    struct counters_t {
        uint64_t sent = 0;
        uint64_t dropped = 0;
    };
    counters_t counters() const;

private:
    void send_frames();

    std::shared_ptr<hardware> hw;   // keeps the memory the blocks live in mapped
    std::shared_ptr<network_send> sender;
    frame_queue<audio_capture::frame_t> queue{false};   // running once enabled
    std::atomic<uint64_t> sent{0}, dropped{0};
    std::thread thread;
};
