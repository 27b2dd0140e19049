#include "video/track.h"

#include <sys/time.h>

#include <chrono>
#include <cstdio>

#include "base/debug_log.h"
#include "base/utilities.h"
#include "hw/hardware.h"
#include "hw/registers.h"
#include "video/video_capture.h"

namespace {

// The slice in which the thread waits for the core before it looks at
// running again: a stop request is seen within this time.
constexpr auto wait_slice = std::chrono::microseconds(100000);

// Picture periods the core measures, in microseconds, and the rates they
// stand for. The windows are tested in this order, so the second row only
// catches what the 60 Hz window above it left (everything up to 16699,
// including no measurement at all).
struct rate_window {
    uint32_t low, high;
    uint32_t rate_n, rate_d;
    int printed;
};
constexpr rate_window rate_windows[] = {
    {16650, 16682, 60000, 1000, 60}, {0, 16699, 60000, 1001, 59},     {19984, 20016, 50000, 1000, 50},
    {33317, 33349, 30000, 1000, 30}, {33350, 33382, 30000, 1001, 29}, {39984, 40016, 25000, 1000, 25},
    {41650, 41682, 24000, 1000, 24}, {41692, 41724, 24000, 1001, 23},
};
constexpr rate_window unknown_rate = {0, 0, 60000, 1000, 60};

}   // namespace

track::track(std::shared_ptr<::hardware> hw, std::shared_ptr<video_capture> video_in,
             std::shared_ptr<audio_capture> audio_in)
    : hardware(std::move(hw)), video(std::move(video_in)), audio(std::move(audio_in))
{
    running = true;
    thread = std::thread([this] { track_signal(); });
}

track::~track()
{
    running = false;
    if (thread.joinable())
        thread.join();
}

track::reading_t track::decode(uint32_t status)
{
    reading_t reading;
    signal_info& signal = reading.signal;
    if (status & regs::track_1080p) {
        signal.valid = 1;
        signal.width = 1920;
        signal.height = 1080;
    } else if (status & regs::track_1080i) {
        signal.valid = 1;
        signal.width = 1920;
        signal.height = 540;
        signal.interlaced = 1;
    } else if (status & regs::track_720p) {
        signal.valid = 1;
        signal.width = 1280;
        signal.height = 720;
    }

    // The rate comes from the period even when no geometry was recognised.
    const uint32_t period = status >> regs::track_period_shift;
    const rate_window* rate = &unknown_rate;
    for (const rate_window& window : rate_windows) {
        if (period >= window.low && period <= window.high) {
            rate = &window;
            break;
        }
    }
    signal.frame_rate_n = rate->rate_n;
    signal.frame_rate_d = rate->rate_d;
    reading.printed_rate = rate->printed;
    return reading;
}

void track::read_signal()
{
    const reading_t reading = decode(hardware->read_reg32(regs::track_block, regs::control));
    const signal_info& signal = reading.signal;
    // Not part of the debug log: a supervisor reads this line from a pipe,
    // whatever the level, so it must not sit in the stdio buffer.
    printf("Signal : %ix%ip%i %i\n", int(signal.width), int(signal.height), reading.printed_rate, int(signal.valid));
    fflush(stdout);
    if (video)
        video->set_signal(signal);
}

void track::track_signal()
{
    set_thread_name("track");
    hardware->write_reg8(regs::track_block, regs::control, regs::lane_command, regs::track_start);
    read_signal();
    for (;;) {
        if (!running) {
            hardware->write_reg8(regs::track_block, regs::control, regs::lane_command, regs::track_stop);
            return;
        }
        // The line delivers one interrupt per enable, so it is enabled again
        // before every wait, including after a time-out.
        hardware->enable_irq(regs::irq_track);
        timeval timeout{0, suseconds_t(wait_slice.count())};
        if (hardware->wait_irq(regs::irq_track, &timeout) < 0)
            continue;
        hardware->write_reg8(regs::track_block, regs::control, regs::lane_command, regs::track_acknowledge);
        debug_mark(2, 'T');
        read_signal();
    }
}
