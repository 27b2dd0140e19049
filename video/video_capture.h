// The two video input cores: the full-resolution input vid_in and the
// preview input pvw_in, which delivers a scaled copy of the same picture.
//
// The capture thread "vidcap" applies the format that the tracker last
// published, keeps two frame pairs armed in the cores, waits for vid_in's
// interrupt at the end of every picture, stamps the finished pair and hands
// it to video_compress. Frame buffers are carved from the raw video range as
// a ring: handed out in order, never returned, wrapping to the base.
//
// Threads:
// - signal and signal_count are guarded by signal_mutex: the tracker writes
//   them (set_signal), "vidcap" reads them once per loop pass, the control
//   pipe reads them (get_status).
// - started is guarded by start_mutex and start_cond: main sets it, "vidcap"
//   waits for it.
// - stop is set by the destructor and polled by "vidcap"; "vidcap" counts
//   the pictures it hands on in relaxed atomics that any thread may read.
// - The format fields, the preview counters and the ring cursor below
//   belong to "vidcap" once start_thread has been called; before that (and
//   in tests that drive the operations by hand) to the thread that made the
//   object. set_format, make_frame, make_frame_pair, set_buffers,
//   arm_capture and cores_idle run on that one thread and take no lock.
// Frames and pairs are not changed once handed on.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "video/signal_info.h"

class hardware;
class video_compress;

class video_capture {
public:
    // One captured picture of one input core.
    struct frame_t {
        int32_t stream = 0;   // 0 full resolution, 1 preview
        int32_t format = 0;   // 1 = 4:2:0, otherwise 4:2:2
        int32_t block = 0;    // register block of the core that fills it
        uint32_t width = 0;
        uint32_t height = 0;
        uint32_t stride = 0;   // line pitch in bytes
        uint32_t frame_rate_n = 0;
        uint32_t frame_rate_d = 0;
        int64_t timestamp = 0;   // 100 ns units; 0 until stamped
        int32_t field = 0;       // 0 first field, 1 second field, 2 progressive
        uint32_t address = 0;    // physical address, no_buffer when none
    };

    // The unit handed to the compressor: a full picture, maybe a preview.
    struct frame_pair_t {
        std::shared_ptr<frame_t> full;
        std::shared_ptr<frame_t> preview;
    };

    static constexpr uint32_t no_buffer = 0xFFFFFFFF;

    // Buffer of a picture: 2 bytes a pixel whatever the chroma format,
    // padded up to whole MiB.
    static uint32_t buffer_size(uint32_t width, uint32_t height);

    // input is not used (main passes 0). full_only may be null. Throws
    // std::runtime_error when the raw video range cannot hold one buffer of
    // the largest picture the tracker reports.
    video_capture(std::shared_ptr<::hardware> hardware, int input, std::shared_ptr<video_compress> compress,
                  const bool* full_only);
    // Stops and joins "vidcap" (within one 200 ms interrupt-wait slice),
    // which leaves both cores stopped.
    virtual ~video_capture();
    video_capture(const video_capture&) = delete;
    video_capture& operator=(const video_capture&) = delete;

    // Starts "vidcap": it resets the cores and waits for start().
    virtual void start_thread();
    // Lets "vidcap" begin capturing. Returns true.
    bool start();

    // Pictures captured and handed to the compressor, per stream (full,
    // preview), for a supervisor; relaxed counts that any thread may read.
    struct counters_t {
        uint64_t captured[2] = {};
    };
    counters_t counters() const;

    // The tracker's description of the input signal.
    void set_signal(const signal_info& info);
    void get_status(signal_info& info);

    // Steps of the capture thread.
    void set_format(int32_t format, uint32_t width, uint32_t height, uint32_t stride, uint32_t frame_rate_n,
                    uint32_t frame_rate_d);
    std::shared_ptr<frame_t> make_frame(int32_t stream);
    std::shared_ptr<frame_pair_t> make_frame_pair();
    void set_buffers(const frame_pair_t& pair);
    void arm_capture(const frame_pair_t& pair);
    // Both cores idle and no event pending at vid_in: a capture must be
    // (re)started.
    bool cores_idle();

    // Format, preview and ring state (owned by the capture thread, see above).
    uint32_t memory_base = 0;
    uint32_t memory_size = 0;
    uint32_t memory_next = 0;
    uint32_t width = 3840;
    uint32_t height = 2160;
    uint32_t stride = 5760;
    uint32_t preview_width = 640;
    uint32_t preview_height = 360;
    uint32_t preview_stride = 960;
    uint32_t frame_rate_n = 60000;
    uint32_t frame_rate_d = 1001;
    int32_t format = 0;
    uint32_t preview_interval = 2;
    uint32_t preview_count = 0;
    bool preview_enabled = true;
    bool full_only = false;
    uint8_t format_code = 4;
    uint8_t preview_mode = 1;
    // The interlaced flag of the signal the format was last applied from:
    // copied with the format so that the frame steps need not take
    // signal_mutex.
    bool interlaced = false;

private:
    void capture_frames();   // body of "vidcap"
    // Applies the published format when it is new; false without a valid
    // signal. Takes signal_mutex.
    bool apply_signal(int64_t& last_seen_count);
    // Waits for the full-resolution core's picture; false when stopped first.
    bool wait_for_picture();

    bool started = false;
    std::mutex start_mutex;
    std::condition_variable start_cond;
    signal_info signal;
    uint32_t signal_count = 0;
    std::mutex signal_mutex;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> captured[2] = {};
    std::shared_ptr<::hardware> hw;
    std::shared_ptr<video_compress> compress;
    std::thread thread;
};
