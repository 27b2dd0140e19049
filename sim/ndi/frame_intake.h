// The hand-over of media frames from the sending program to the receivers,
// and the place where the asynchronous video contract is kept.
//
// A video call does not copy the caller's bytes: it queues the record, with
// the caller's pointer, and returns once everything queued before it has
// been taken in. The intake thread ("ndi:intake") copies a queued picture
// into a message shared by all receivers (or skips the copy when nobody is
// connected) and passes it on. So the caller's bytes are read only between
// its call and the return of the next video call on the instance, whatever
// the stream, as the runtime promises; a program that frees a picture too
// early gets garbage on the wire (and a report under AddressSanitizer)
// instead of getting away with it. Audio is copied in its call, since its
// buffer is free again on return, and queued behind the video already
// waiting, so receivers get all media in the order it was sent.
//
// Threads: submit_*() and flush() are called by any sender thread; the
// intake thread alone runs deliver. mutex guards the queue and the counters.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "ndi/ndi_lib.h"
#include "sim/ndi/receiver_connection.h"

namespace ndi_sim {

class frame_intake {
public:
    // deliver gets each message in order; wanted tells whether anybody
    // would receive a picture, so that unwatched pictures are not copied.
    frame_intake(std::function<void(message_ptr)> deliver, std::function<bool()> wanted);
    ~frame_intake();   // takes in what is queued, then ends the thread

    frame_intake(const frame_intake&) = delete;
    frame_intake& operator=(const frame_intake&) = delete;

    // The record's p_data and data_size_in_bytes describe the coded picture;
    // timecode replaces the record's (already synthesised if asked for).
    void submit_video(const NDIlib_video_frame_v2_t& frame, int64_t timecode);

    // A message whose bytes are already owned.
    void submit_ready(message_ptr message);

    // Returns once everything submitted so far has been taken in.
    void flush();

private:
    struct item {
        uint64_t sequence;
        NDIlib_video_frame_v2_t video;   // borrowed bytes, when message is empty
        message_ptr message;
    };

    uint64_t enqueue(item entry);
    void wait_taken(uint64_t sequence);
    void take_frames();
    message_ptr copy_picture(const NDIlib_video_frame_v2_t& frame) const;

    const std::function<void(message_ptr)> deliver;
    const std::function<bool()> wanted;

    std::mutex mutex;
    std::condition_variable work;
    std::condition_variable taken;
    std::deque<item> queue;
    uint64_t submitted = 0;   // sequence of the last item queued
    uint64_t completed = 0;   // sequence of the last item taken in
    bool stopping = false;

    std::thread thread;
};

}   // namespace ndi_sim
