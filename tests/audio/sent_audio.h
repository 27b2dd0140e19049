// What audio_compress hands to the NDI runtime, as the stand-in's
// in-process recorder shows it: every block sent lands here, then goes on
// to the stand-in. A test can also hold "audcomp" inside the call, to fill
// the queue behind it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "ndi/ndi_lib.h"

class sent_audio {
public:
    struct block {
        NDIlib_send_instance_t instance;
        NDIlib_audio_frame_interleaved_32s_t frame;
        std::vector<int32_t> samples;   // copied at the call: the ring reuses its memory
    };

    // While one of these lives, the sending thread waits inside the call
    // after recording (declared after the objects whose destructor joins it).
    class hold_guard {
    public:
        hold_guard() { log().set_held(true); }
        ~hold_guard() { log().set_held(false); }
        hold_guard(const hold_guard&) = delete;
        hold_guard& operator=(const hold_guard&) = delete;
    };

    // The one recorder of the process, in place from its first use on.
    static sent_audio& log();
    ~sent_audio();

    void clear();
    // Waits until at least count blocks were handed over; false after limit.
    bool wait_for(size_t count, std::chrono::seconds limit = std::chrono::seconds(10));
    std::vector<block> blocks();
    size_t count();

    void record(NDIlib_send_instance_t instance, const NDIlib_audio_frame_interleaved_32s_t& frame);

private:
    sent_audio();
    void set_held(bool on);

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<block> sent;
    bool held = false;
};
