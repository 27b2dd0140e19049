// The audio input core aud_in and its capture thread "audcap".
//
// The thread keeps one buffer armed in the core ahead of the block being
// filled, waits for the core's interrupt at the end of every block, stamps
// the finished block and hands it to audio_compress. Blocks live in a ring
// over region 3 of the reserved memory (the last 64 KiB): buffers are handed
// out in order and never returned, the ring wrapping to its start, so a block
// stays intact for ten blocks' time with the defaults (2 channels x 768
// samples x 4 bytes). Until enabled, the thread arms only the first buffer
// and looks at the configuration every 100 ms, or at once when set_config or
// the destructor wakes it.
//
// Threads: made and configured by main; get_config and set_config also come
// from the control pipe (main thread); "audcap" runs capture_frames.
// config_mutex guards enabled, control_a, control_b, channels, samples,
// sample_rate, channel_mode and the ring cursor memory_next; it is never held
// while calling into audio_compress. stop is set by the destructor and polled
// by "audcap".
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

class audio_compress;
class hardware;

// The capture's configuration as main and the control pipe exchange it.
struct audio_config {
    bool enabled = false;
    int32_t control_a = 0;
    int32_t control_b = 0;
    uint32_t channels = 0;
    int32_t sample_rate = 0;
};

class audio_capture {
public:
    // One captured block. Held by shared ownership from capture to send.
    struct frame_t {
        uint32_t channels = 0;
        uint32_t samples = 0;            // per channel
        int32_t sample_rate = 0;         // Hz
        int64_t timestamp = 0;           // capture time, 100 ns units; 0 until stamped
        float reference_level = 20.0f;   // dB
        uint32_t address = 0;            // offset of the buffer in the reserved memory
        int32_t* data = nullptr;         // channels x samples, interleaved by channel
    };

    // Programs the channels and the control byte and starts "audcap", which
    // arms the first buffer at once but captures nothing until enabled.
    audio_capture(std::shared_ptr<hardware> hw, std::shared_ptr<audio_compress> compress);
    ~audio_capture();
    audio_capture(const audio_capture&) = delete;
    audio_capture& operator=(const audio_capture&) = delete;

    // Blocks captured and handed on, for a supervisor: a relaxed count that
    // any thread may read.
    struct counters_t {
        uint64_t captured = 0;
    };
    counters_t counters() const;

    void get_config(audio_config& config);
    // Stores the record and writes the control byte to the core.
    void set_config(const audio_config& config);
    // Writes one control word per channel to the core, channel 0 first.
    void set_channel_control(int32_t mode);

    // A block record with the next buffer of the ring.
    std::shared_ptr<frame_t> make_frame();
    // Points the core at a block's buffer (it takes effect with the next arm).
    void set_buffer(const frame_t& frame);

private:
    void capture_frames();
    uint8_t control_byte_locked() const { return uint8_t(control_a | control_b); }

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> blocks_captured{0};
    bool enabled = false;
    int32_t control_a = 1;
    int32_t control_b = 0;
    uint32_t channels = 2;
    uint32_t samples = 768;
    int32_t sample_rate = 48000;
    std::shared_ptr<hardware> hw;
    std::shared_ptr<audio_compress> compress;
    std::thread thread;
    uint32_t memory_base = 0;
    uint32_t memory_size = 0;
    uint32_t memory_next = 0;
    std::mutex config_mutex;
    // Wakes "audcap" from its idle wait when it is enabled or stopped.
    std::condition_variable config_changed;
    int32_t channel_mode = 0;
    int32_t channel_param = 0x555;
};
