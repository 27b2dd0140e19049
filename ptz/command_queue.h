// The body of "queuePTZ": takes requests from the ring, turns each into one
// or more VISCA commands and paces the serial line with fixed pauses. It
// remembers the white-balance, focus and exposure modes it last sent (and
// the manual gains), so that a mode command goes out only when the mode
// changes.
//
// Threads: made and run on "queuePTZ"; its state is that thread's alone.
#pragma once

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "ptz/ptz_request.h"
#include "ptz/request_ring.h"
#include "ptz/visca_encoder.h"

class command_queue {
public:
    static constexpr std::chrono::milliseconds pause_time{30};

    using send_function = std::function<int(const visca_message&)>;
    using pause_function = std::function<void()>;

    // send_command writes one command to the line; pause_line waits pause_time.
    command_queue(send_function send_command, pause_function pause_line);

    // Serves requests until it takes the stop_queue request; every request
    // is followed by a pause. outside_commands counts the commands that
    // others sent the camera which may have changed its modes: whenever it
    // has moved, the modes and gains last sent are forgotten, so the next
    // request that needs one sends it again.
    void run(request_ring& requests, const std::atomic<uint32_t>& outside_commands);

    // Sends the commands of one request, with the pauses inside it.
    void execute(const ptz_request& request);

    // From now on the camera's modes and gains count as unknown.
    void forget_camera_modes();

private:
    void select_white_balance(int mode);
    void one_push_white_balance();
    // Each sends the mode first when the camera is not known to be in it.
    void manual_white_balance(float red, float blue);
    void manual_focus(float distance);
    void manual_exposure(float value);

    // What the camera was last told; the "none" values say nothing was sent.
    static constexpr int no_white_balance = 6;
    static constexpr int no_focus = 2;
    static constexpr int no_exposure = 2;

    send_function send;
    pause_function pause;
    int white_balance = no_white_balance;   // a white_balance_mode
    int focus = no_focus;                   // 0 auto, 1 manual
    int exposure = no_exposure;             // 0 full auto, 1 manual
    float red_gain = 0.5f;                  // NaN once forgotten: equal to no gain, so the next is sent
    float blue_gain = 0.5f;
    uint32_t outside_seen = 0;   // the count of outside commands the modes above know of
};

// Whether a VISCA message (header first) that a controller had forwarded
// to the camera belongs to a family that can change what the queue
// remembers: white balance with its gains, focus mode, exposure mode, and
// what resets the camera (power, initialising, a preset recall). A zoom, a
// pan-tilt drive, tally or an inquiry cannot, so a one-push measurement
// still triggers after them instead of selecting its mode again.
bool may_change_camera_modes(const uint8_t* message, size_t n);

// The product's pause: sleeps pause_time, resuming after a signal.
void command_pause();
