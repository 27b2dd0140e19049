#include "audio/audio_capture.h"

#include <sys/time.h>

#include <chrono>
#include <cstdio>

#include "audio/audio_compress.h"
#include "base/buffer_ring.h"
#include "base/debug_log.h"
#include "base/utilities.h"
#include "hw/hardware.h"
#include "hw/registers.h"

namespace {

constexpr long irq_wait_us = 200000;
constexpr auto idle_poll = std::chrono::milliseconds(100);

}   // namespace

audio_capture::audio_capture(std::shared_ptr<hardware> hardware, std::shared_ptr<audio_compress> compressor)
    : hw(std::move(hardware)), compress(std::move(compressor))
{
    debug_print(3, "audio_capture Constructor\n");
    const memory_region region = hw->get_region(audio_region);
    memory_base = region.address;
    memory_size = region.size;
    memory_next = memory_base;
    set_channel_control(channel_mode);
    {
        std::lock_guard<std::mutex> lock(config_mutex);
        hw->write_reg8(regs::audio_in_block, regs::control, regs::lane_mode, control_byte_locked());
    }
    thread = std::thread([this] { capture_frames(); });
}

audio_capture::~audio_capture()
{
    debug_print(3, "audio_capture Destructor\n");
    fflush(stdout);
    stop = true;
    {
        // Taking the lock orders the flag before an idle wait's test of it.
        std::lock_guard<std::mutex> lock(config_mutex);
    }
    config_changed.notify_all();
    thread.join();
    compress.reset();
    hw.reset();
}

audio_capture::counters_t audio_capture::counters() const
{
    counters_t c;
    c.captured = blocks_captured.load(std::memory_order_relaxed);
    return c;
}

void audio_capture::get_config(audio_config& config)
{
    std::lock_guard<std::mutex> lock(config_mutex);
    config.enabled = enabled;
    config.control_a = control_a;
    config.control_b = control_b;
    config.channels = channels;
    config.sample_rate = sample_rate;
}

void audio_capture::set_config(const audio_config& config)
{
    {
        std::lock_guard<std::mutex> lock(config_mutex);
        enabled = config.enabled;
        control_a = config.control_a;
        control_b = config.control_b;
        channels = config.channels;
        sample_rate = config.sample_rate;
        hw->write_reg8(regs::audio_in_block, regs::control, regs::lane_mode, control_byte_locked());
    }
    config_changed.notify_all();
}

void audio_capture::set_channel_control(int32_t mode)
{
    std::lock_guard<std::mutex> lock(config_mutex);
    channel_mode = mode;
    for (uint32_t channel = 0; channel < channels; ++channel) {
        const uint32_t word =
            (channel & 0xFF) << 24 | (uint32_t(channel_mode) & 0xFF) << 16 | (uint32_t(channel_param) & 0xFFFF);
        hw->write_reg32(regs::audio_in_block, regs::audio_channel_control, word);
    }
}

std::shared_ptr<audio_capture::frame_t> audio_capture::make_frame()
{
    auto frame = std::make_shared<frame_t>();
    std::lock_guard<std::mutex> lock(config_mutex);
    frame->channels = channels;
    frame->samples = samples;
    frame->sample_rate = sample_rate;
    const uint32_t bytes = channels * samples * uint32_t(sizeof(int32_t));
    frame->address = ring_take(memory_base, memory_size, memory_next, bytes);
    frame->data = reinterpret_cast<int32_t*>(hw->cpu_address(frame->address));
    return frame;
}

void audio_capture::set_buffer(const frame_t& frame)
{
    // The core wants its state read (twice while busy) before a new buffer.
    if ((hw->read_reg32(regs::audio_in_block, regs::control) & regs::state_mask) == regs::state_busy)
        hw->read_reg32(regs::audio_in_block, regs::control);
    hw->write_reg32(regs::audio_in_block, regs::audio_buffer, hw->bus_address(frame.address));
    hw->write_reg32(regs::audio_in_block, regs::audio_samples, frame.samples);
}

void audio_capture::capture_frames()
{
    set_thread_name("audcap");
    if (!set_thread_priority(1))
        debug_print(1, "audio_capture::capture_frames: Could not set thread priority!\n");

    hw->write_reg8(regs::audio_in_block, regs::control, regs::lane_events, regs::events_clear);
    hw->write_reg32(regs::audio_in_block, regs::control, 0);
    {
        std::lock_guard<std::mutex> lock(config_mutex);
        hw->write_reg8(regs::audio_in_block, regs::control, regs::lane_mode, control_byte_locked());
    }

    std::shared_ptr<frame_t> current = make_frame();
    set_buffer(*current);
    hw->write_reg8(regs::audio_in_block, regs::control, regs::lane_enable, regs::events_enable);
    hw->write_reg8(regs::audio_in_block, regs::control, regs::lane_command, regs::command_arm);

    while (!stop) {
        {
            std::unique_lock<std::mutex> lock(config_mutex);
            if (!enabled) {
                config_changed.wait_for(lock, idle_poll, [this] { return stop || enabled; });
                continue;
            }
        }

        hw->enable_irq(regs::irq_audio_in);
        std::shared_ptr<frame_t> next = make_frame();
        set_buffer(*next);
        // The core queues this buffer behind the block in progress.
        hw->write_reg8(regs::audio_in_block, regs::control, regs::lane_command, regs::command_arm);

        timeval timeout{0, irq_wait_us};
        bool finished = true;
        while (hw->wait_irq(regs::irq_audio_in, &timeout) < 0) {
            if (stop) {
                finished = false;
                break;
            }
            timeout = {0, irq_wait_us};
        }
        // A block cut short by the stop holds whatever the ring had there
        // before (stale audio, or nothing ever captured): it is not sent.
        if (!finished)
            break;

        hw->write_reg8(regs::audio_in_block, regs::control, regs::lane_events, regs::events_clear);
        current->timestamp = timestamp_100ns();
        debug_mark(2, ':');
        blocks_captured.fetch_add(1, std::memory_order_relaxed);
        compress->push_frame(current);

        // Normally the block queued above is being filled now. A core found
        // idle has finished it as well, its interrupt merged into this one
        // (this thread was late by a whole block): hand it on too and arm
        // afresh. Otherwise every later block would be armed only after the
        // core had gone idle, and each would start late: a gap at every block
        // from then on, where there should be one.
        if ((hw->read_reg32(regs::audio_in_block, regs::control) & regs::state_mask) == regs::state_idle) {
            hw->write_reg8(regs::audio_in_block, regs::control, regs::lane_events, regs::events_clear);
            next->timestamp = timestamp_100ns();
            debug_mark(2, ':');
            blocks_captured.fetch_add(1, std::memory_order_relaxed);
            compress->push_frame(next);
            next = make_frame();
            set_buffer(*next);
            hw->write_reg8(regs::audio_in_block, regs::control, regs::lane_command, regs::command_arm);
        }
        current = next;
    }

    // The empty block tells the sending thread to end.
    compress->push_frame(nullptr);
}
