// The audio send path: a short queue of captured blocks and the thread
// "audcomp" that sends them through the NDI sender as interleaved 32-bit
// audio, so that the capture thread never waits on the network. Nothing is
// compressed.
//
// Threads: push_frame is called by "audcap" (and by the destructor); enable
// by main; "audcomp" runs send_frames. mutex guards queue and running;
// "audcomp" sends outside it.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "audio/audio_capture.h"

class hardware;
class network_send;

class audio_compress {
public:
    static constexpr size_t queue_limit = 3;

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

private:
    void send_frames();
    void queue_locked(std::shared_ptr<audio_capture::frame_t> frame);

    std::shared_ptr<hardware> hw;   // keeps the memory the blocks live in mapped
    std::shared_ptr<network_send> sender;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable condition;
    std::deque<std::shared_ptr<audio_capture::frame_t>> queue;
    bool running = false;
};
