#include "video/video_capture.h"

#include <sys/time.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include "base/buffer_ring.h"
#include "base/debug_log.h"
#include "base/utilities.h"
#include "hw/hardware.h"
#include "hw/registers.h"
#include "video/video_compress.h"

namespace {

constexpr uint32_t buffer_granule = 0x100000;   // buffers are whole MiB

// The largest picture the tracker reports: 1920 x 1080.
constexpr uint32_t largest_width = 1920;
constexpr uint32_t largest_height = 1080;

constexpr long wait_slice_us = 200000;
constexpr long idle_sleep_ns = 100000000;

uint8_t state_of(uint32_t control)
{
    return control & regs::state_mask;
}

// Sleeps the whole time even when a signal interrupts the sleep.
void sleep_ns(long ns)
{
    timespec left{0, ns};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}   // namespace

uint32_t video_capture::buffer_size(uint32_t width, uint32_t height)
{
    const uint64_t bytes = uint64_t(width) * height * 2;
    return uint32_t((bytes + buffer_granule - 1) / buffer_granule * buffer_granule);
}

video_capture::video_capture(std::shared_ptr<::hardware> hardware, int, std::shared_ptr<video_compress> compressor,
                             const bool* full_only_flag)
    : hw(std::move(hardware)), compress(std::move(compressor))
{
    if (full_only_flag && *full_only_flag)
        full_only = true;
    const memory_region raw = hw->get_raw();
    memory_base = raw.address;
    memory_size = raw.size;
    memory_next = memory_base;
    signal = signal_info{};
    debug_print(3, "video_capture Constructor\n");

    // The ring places a buffer at its base whatever its size, so a range
    // smaller than one buffer would let the cores write past its end.
    const uint32_t needed = buffer_size(largest_width, largest_height);
    if (memory_size < needed) {
        char text[160];
        snprintf(text, sizeof text,
                 "video_capture: raw video memory of %u bytes cannot hold one %ux%u frame buffer (%u bytes)!",
                 memory_size, largest_width, largest_height, needed);
        throw std::runtime_error(text);
    }
}

video_capture::~video_capture()
{
    debug_print(3, "\n video_capture Destructor\n");
    fflush(stdout);
    {
        // The thread may still be waiting for start(): the stop request
        // must reach that wait too.
        std::lock_guard<std::mutex> lock(start_mutex);
        stop = true;
    }
    start_cond.notify_all();
    if (thread.joinable())
        thread.join();
    compress.reset();
    hw.reset();
}

void video_capture::start_thread()
{
    thread = std::thread([this] { capture_frames(); });
}

bool video_capture::start()
{
    {
        std::lock_guard<std::mutex> lock(start_mutex);
        started = true;
    }
    start_cond.notify_all();
    return true;
}

void video_capture::set_signal(const signal_info& info)
{
    std::lock_guard<std::mutex> lock(signal_mutex);
    const int32_t unused = signal.reserved1;
    signal = info;
    signal.reserved1 = unused;
    ++signal_count;
}

void video_capture::get_status(signal_info& info)
{
    std::lock_guard<std::mutex> lock(signal_mutex);
    info.valid = signal.valid;
    info.format = signal.format;
    info.reserved0 = signal.reserved0;
    info.width = signal.width;
    info.height = signal.height;
    info.interlaced = signal.interlaced;
    info.frame_rate_n = signal.frame_rate_n;
    info.frame_rate_d = signal.frame_rate_d;
}

video_capture::counters_t video_capture::counters() const
{
    counters_t c;
    c.captured[0] = captured[0].load(std::memory_order_relaxed);
    c.captured[1] = captured[1].load(std::memory_order_relaxed);
    return c;
}

void video_capture::set_format(int32_t pixel_format, uint32_t picture_width, uint32_t picture_height,
                               uint32_t line_stride, uint32_t rate_n, uint32_t rate_d)
{
    format = pixel_format;
    width = picture_width;
    height = picture_height;
    stride = line_stride;
    frame_rate_n = rate_n;
    frame_rate_d = rate_d;

    uint32_t factor = 1;
    if (format == 1) {
        format_code = 4;
        preview_enabled = true;
        if (width <= 2563) {
            factor = 4;
            preview_mode = 0;
        } else {
            factor = 6;
            preview_mode = 1;
        }
    } else {
        format_code = 1;
        if (width <= 720) {
            preview_mode = 0;
            preview_enabled = false;
        } else if (width <= 1281) {
            factor = 2;
            preview_mode = 0;
            preview_enabled = true;
        } else {
            factor = 3;
            preview_mode = 1;
            preview_enabled = true;
        }
    }
    preview_width = width / factor;
    preview_height = height / factor;
    preview_stride = stride / factor;
    if (full_only)
        preview_enabled = false;

    debug_print(3, "\n Set %s format: xRes=%i yRes=%i stride=%i\n", format == 1 ? "420" : "422", int(width),
                int(height), int(stride));
}

std::shared_ptr<video_capture::frame_t> video_capture::make_frame(int32_t stream)
{
    auto frame = std::make_shared<frame_t>();
    frame->stream = stream;
    frame->format = format;
    if (stream == regs::stream_full) {
        frame->block = regs::video_in_block;
        frame->width = width;
        frame->height = height;
        frame->stride = stride;
    } else {
        frame->block = regs::preview_in_block;
        frame->width = preview_width;
        frame->height = preview_height;
        frame->stride = preview_stride;
    }
    frame->frame_rate_n = frame_rate_n;
    frame->frame_rate_d = frame_rate_d;
    frame->timestamp = 0;

    if (interlaced) {
        const uint8_t mode = hw->read_reg8(regs::video_in_block, regs::control, regs::lane_mode);
        frame->field = (mode & regs::video_field_bit) ? 0 : 1;
    } else {
        frame->field = 2;
    }

    if (stream != regs::stream_full && !preview_enabled) {
        frame->address = no_buffer;
        return frame;
    }
    frame->address = ring_take(memory_base, memory_size, memory_next, buffer_size(frame->width, frame->height));
    return frame;
}

std::shared_ptr<video_capture::frame_pair_t> video_capture::make_frame_pair()
{
    auto pair = std::make_shared<frame_pair_t>();
    pair->full = make_frame(regs::stream_full);
    ++preview_count;
    if (preview_count < preview_interval && !interlaced)
        return pair;
    preview_count = 0;
    if (!full_only)
        pair->preview = make_frame(regs::stream_preview);
    return pair;
}

void video_capture::set_buffers(const frame_pair_t& pair)
{
    const uint32_t video_state = hw->read_reg32(regs::video_in_block, regs::control);
    const uint32_t preview_state = hw->read_reg32(regs::preview_in_block, regs::control);
    // A core caught in state 1 is read once more; the value is not needed.
    if (state_of(video_state) == regs::state_busy)
        hw->read_reg32(regs::video_in_block, regs::control);
    if (state_of(preview_state) == regs::state_busy)
        hw->read_reg32(regs::preview_in_block, regs::control);

    hw->write_reg32(regs::video_in_block, regs::video_buffer, pair.full->address);
    if (pair.preview && preview_enabled)
        hw->write_reg32(regs::preview_in_block, regs::video_buffer, pair.preview->address);
}

void video_capture::arm_capture(const frame_pair_t& pair)
{
    hw->write_reg8(regs::video_in_block, regs::control, regs::lane_command, regs::command_arm);
    if (pair.preview && preview_enabled)
        hw->write_reg8(regs::preview_in_block, regs::control, regs::lane_command, regs::command_arm);
}

bool video_capture::cores_idle()
{
    if (state_of(hw->read_reg32(regs::video_in_block, regs::control)) != regs::state_idle)
        return false;
    if (state_of(hw->read_reg32(regs::preview_in_block, regs::control)) != regs::state_idle)
        return false;
    return (hw->read_reg8(regs::video_in_block, regs::control, regs::lane_events) & regs::events_mask) == 0;
}

bool video_capture::apply_signal(int64_t& last_seen_count)
{
    std::lock_guard<std::mutex> lock(signal_mutex);
    if (!signal.valid)
        return false;
    if (int64_t(signal_count) != last_seen_count) {
        const uint32_t line_pitch = signal.format == 1 ? signal.width + signal.width / 2 : 2 * signal.width;
        set_format(signal.format, signal.width, signal.height, line_pitch, signal.frame_rate_n, signal.frame_rate_d);
        interlaced = signal.interlaced;
        last_seen_count = signal_count;
        hw->write_reg8(regs::video_in_block, regs::control, regs::lane_mode, format_code);
        hw->write_reg8(regs::preview_in_block, regs::control, regs::lane_mode, preview_mode);
        hw->write_reg8(regs::video_in_block, regs::control, regs::lane_events, regs::events_clear);
        hw->write_reg8(regs::preview_in_block, regs::control, regs::lane_events, regs::events_clear);
    }
    return true;
}

bool video_capture::wait_for_picture()
{
    for (;;) {
        timeval wait{0, wait_slice_us};
        if (hw->wait_irq(regs::irq_video_in, &wait) >= 0)
            return true;
        if (stop)
            return false;
    }
}

void video_capture::capture_frames()
{
    set_thread_name("vidcap");
    debug_print(3, "video_capture::capture_frames thread\n");
    if (!set_thread_priority(1))
        debug_print(1, "video_capture::capture_frames: Could not set thread priority!\n");

    for (uint32_t block : {regs::video_in_block, regs::preview_in_block})
        hw->write_reg8(block, regs::control, regs::lane_command, regs::command_reset);
    for (uint32_t block : {regs::video_in_block, regs::preview_in_block})
        hw->write_reg8(block, regs::control, regs::lane_events, regs::events_clear);
    for (uint32_t block : {regs::video_in_block, regs::preview_in_block})
        hw->write_reg32(block, regs::control, 0);

    bool go = false;
    {
        std::unique_lock<std::mutex> lock(start_mutex);
        start_cond.wait(lock, [this] { return started || stop; });
        go = started && !stop;
    }

    if (go) {
        hw->write_reg8(regs::video_in_block, regs::control, regs::lane_mode, format_code);
        hw->write_reg8(regs::preview_in_block, regs::control, regs::lane_mode, preview_mode);
        hw->write_reg8(regs::video_in_block, regs::control, regs::lane_enable, regs::video_reset_enable);

        int64_t last_seen_count = -1;
        std::shared_ptr<frame_pair_t> next_pair;
        std::shared_ptr<frame_pair_t> last_pair;
        while (!stop) {
            if (!apply_signal(last_seen_count)) {
                sleep_ns(idle_sleep_ns);
                continue;
            }
            if (cores_idle()) {
                next_pair = make_frame_pair();
                set_buffers(*next_pair);
                arm_capture(*next_pair);
                debug_mark(2, 'R');
            }
            hw->enable_irq(regs::irq_video_in);
            last_pair = next_pair;
            next_pair = make_frame_pair();
            set_buffers(*next_pair);
            arm_capture(*next_pair);

            const bool completed = wait_for_picture();
            hw->write_reg8(regs::video_in_block, regs::control, regs::lane_events, regs::events_clear);
            // A stop during the wait leaves the pair in progress unfilled:
            // handing it on would send whatever the ring held before. And
            // without a pair armed before this picture there is nothing it
            // completed.
            if (!completed || !last_pair)
                continue;
            const int64_t now = timestamp_100ns();
            last_pair->full->timestamp = now;
            if (last_pair->preview)
                last_pair->preview->timestamp = now;
            debug_mark(2, '.');
            captured[0].fetch_add(1, std::memory_order_relaxed);
            if (last_pair->preview)
                captured[1].fetch_add(1, std::memory_order_relaxed);
            compress->push_frame(last_pair);
        }
    }

    hw->write_reg32(regs::video_in_block, regs::control, 0);
    hw->write_reg32(regs::preview_in_block, regs::control, 0);
}
