// What video_compress asks of and hands to the NDI runtime, as the runtime
// stand-in's video observer (sim/ndi/ndi_sim.h) reports it: every picture
// sent lands here on its way into the runtime, and a test chooses the
// quality factor the compressor is given.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "ndi/ndi_lib.h"

class ndi_video_calls {
public:
    struct sent_picture {
        NDIlib_video_frame_v2_t record;
        std::vector<uint8_t> bytes;   // copied at the call
    };

    static ndi_video_calls& log();

    // While one lives, a send thread waits inside the send call after
    // recording, so that the queue behind it fills.
    class hold_guard {
    public:
        hold_guard() { log().set_held(true); }
        ~hold_guard() { log().set_held(false); }
        hold_guard(const hold_guard&) = delete;
        hold_guard& operator=(const hold_guard&) = delete;
    };

    // While one lives, a Q question waits inside the runtime once it is
    // recorded, so that "vidcomp" stays in prepare_frame, before its cores
    // (which a board without encoders never lets answer) are started.
    class q_hold_guard {
    public:
        q_hold_guard() { log().set_q_held(true); }
        ~q_hold_guard() { release(); }
        void release() { log().set_q_held(false); }
        q_hold_guard(const q_hold_guard&) = delete;
        q_hold_guard& operator=(const q_hold_guard&) = delete;
    };

    // Forgets what was recorded and answers Q 60 again.
    void clear();
    void answer_q(std::function<int(const NDIlib_video_frame_v2_t&)> rule);

    bool wait_for_pictures(size_t count, std::chrono::seconds limit = std::chrono::seconds(10));
    bool wait_for_q_questions(size_t count, std::chrono::seconds limit = std::chrono::seconds(10));
    std::vector<sent_picture> pictures();
    std::vector<NDIlib_video_frame_v2_t> q_questions();
    std::vector<NDIlib_video_frame_v2_t> size_questions();

    // Called while a picture is handed over, before it is recorded: a test
    // looks at what must still be alive then.
    void on_send(std::function<void(const NDIlib_video_frame_v2_t&)> hook);

    // The runtime's side.
    void record(const NDIlib_video_frame_v2_t& frame);
    int q_for(const NDIlib_video_frame_v2_t& frame);
    void size_asked(const NDIlib_video_frame_v2_t& frame);

private:
    ndi_video_calls();   // installs the observer
    void set_held(bool on);
    void set_q_held(bool on);

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<sent_picture> sent;
    std::vector<NDIlib_video_frame_v2_t> q_asked;
    std::vector<NDIlib_video_frame_v2_t> sizes_asked;
    std::function<int(const NDIlib_video_frame_v2_t&)> q_rule;
    std::function<void(const NDIlib_video_frame_v2_t&)> send_hook;
    bool held = false;
    bool q_held = false;
};
