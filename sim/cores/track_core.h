// The signal-tracking core (vid_track) and the video signal at the board's
// input, which this model drives.
//
// Register 0 reads the status word of the signal now at the input:
//   bit 7   1920 x 1080 progressive
//   bit 6   1920 x 1080 interlaced (fields of 1920 x 540)
//   bit 5   1280 x 720 progressive
//   16-31   picture (field) period in microseconds, 0 without a signal,
//           saturating at 0xFFFF for periods the counter cannot hold
// Lane 0 of register 0 takes the control byte:
//   3  start: measure and interrupt on changes, forgetting any old event
//   7  acknowledge: clear the event (and keep running)
//   0  stop: no events, interrupt line low
// Any other control byte is a guest error and is ignored, and so is what the
// register map refuses (a write to another lane or register).
//
// Event: set whenever the status word changes while the core runs; the
// interrupt is asserted while the event is set and the core runs. A change
// to the same status word (the same format again) raises nothing.
//
// The input follows a schedule, the board setting "signal":
//   FORMAT[,DELAY:FORMAT]...      e.g. 1080p59.94,5s:none,2s:720p50
// FORMAT as video_signal::parse takes it ("none" for no signal), DELAY a
// whole or decimal number of seconds ("5s", "1.5s") or milliseconds
// ("300ms") after the previous step. The first format applies when the board
// is made; a worker thread applies the others, on the board's clock when it
// is stepped and in real time otherwise (a schedule is a scenario for the
// program, not work of a core, so a fast clock does not hurry it).
//
// Registers, event and schedule state are guarded by the board's mutex.
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sim/fpga/core_model.h"
#include "sim/fpga/model_clock.h"
#include "sim/fpga/video_signal.h"

namespace vfpga {

struct scheduled_signal {
    model_clock::duration delay{0};   // after the previous step
    video_signal signal;
};

// Parses a "signal" schedule; throws std::runtime_error naming the fault.
std::vector<scheduled_signal> parse_signal_schedule(const std::string& text);

// The status word the core reports for a signal.
uint32_t track_status(const video_signal& signal);

class track_core : public core_model {
public:
    static constexpr const char* default_schedule = "1080p60";

    // Applies the schedule's first format; throws on a bad schedule.
    explicit track_core(fpga& board);
    ~track_core() override;

    // Stopped, no event; the status word still tells the input.
    void reset() override;
    uint32_t read(unsigned reg) override;
    bool irq_asserted() const override;
    void input_changed() override;
    void start() override;
    void stop() override;

    // Changes the input at once (takes the board's mutex).
    void set_signal(const video_signal& signal);

protected:
    void write(unsigned reg, uint32_t value, uint32_t mask) override;

private:
    void run_schedule();

    const std::vector<scheduled_signal> schedule;
    const std::chrono::steady_clock::time_point made = std::chrono::steady_clock::now();
    uint32_t status = 0;    // status word of the signal now at the input
    bool running = false;   // started with 3 or 7, stopped with 0
    bool event = false;     // the status changed since the last acknowledge
};

}   // namespace vfpga
