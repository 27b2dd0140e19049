#include "ptz/command_queue.h"

#include <cerrno>
#include <ctime>
#include <utility>

command_queue::command_queue(send_function send_command, pause_function pause_line)
    : send(std::move(send_command)), pause(std::move(pause_line))
{
}

void command_queue::run(request_ring& requests, const std::atomic<uint32_t>& outside_commands)
{
    for (;;) {
        const ptz_request request = requests.take();
        if (request.code == ptz_code::stop_queue)
            return;
        const uint32_t now = outside_commands.load(std::memory_order_relaxed);
        if (now != outside_seen) {
            outside_seen = now;
            forget_camera_modes();
        }
        execute(request);
        pause();
    }
}

void command_queue::forget_camera_modes()
{
    white_balance = no_white_balance;
    focus = no_focus;
    exposure = no_exposure;
    red_gain = NAN;
    blue_gain = NAN;
}

void command_queue::execute(const ptz_request& request)
{
    namespace wb = white_balance_mode;
    switch (request.code) {
    case ptz_code::pan_tilt_speed:
    case ptz_code::pan_tilt_stop:
    case ptz_code::pan_tilt_position:   // driven like a speed request
        send(visca_pan_tilt_drive(request.value1, request.value2));
        break;
    case ptz_code::zoom_speed:
    case ptz_code::zoom_stop: send(visca_zoom(request.value1)); break;
    case ptz_code::zoom_position: send(visca_zoom_direct(request.value1)); break;
    case ptz_code::white_balance_auto: send(visca_white_balance(white_balance = wb::automatic)); break;
    case ptz_code::white_balance_indoor: send(visca_white_balance(white_balance = wb::indoor)); break;
    case ptz_code::white_balance_outdoor: send(visca_white_balance(white_balance = wb::outdoor)); break;
    case ptz_code::white_balance_one_shot:
        // Already in one-push mode: measure again.
        send(visca_white_balance(white_balance == wb::one_push ? wb::one_push_trigger : wb::one_push));
        white_balance = wb::one_push;
        break;
    case ptz_code::white_balance_manual:
        if (white_balance != wb::manual) {
            send(visca_white_balance(wb::manual));
            pause();
            white_balance = wb::manual;
        }
        if (request.value1 != red_gain) {
            send(visca_red_gain(request.value1));
            pause();
            red_gain = request.value1;
        }
        if (request.value2 != blue_gain) {
            send(visca_blue_gain(request.value2));
            pause();
            blue_gain = request.value2;
        }
        break;
    case ptz_code::focus_auto:
        send(visca_focus_mode(false));
        focus = 0;
        break;
    case ptz_code::focus_manual:
        if (focus != 1) {
            send(visca_focus_mode(true));
            pause();
            focus = 1;
        }
        send(visca_focus_direct(request.value1));
        break;
    case ptz_code::exposure_auto:
        send(visca_ae_mode(false));
        exposure = 0;
        break;
    case ptz_code::exposure_manual:
        if (exposure != 1) {
            send(visca_ae_mode(true));
            pause();
            exposure = 1;
        }
        send(visca_iris(request.value1));
        break;
    case ptz_code::store_preset: send(visca_memory(memory_action::store, int(request.value1))); break;
    case ptz_code::recall_preset:   // the camera recalls at its own speed
        send(visca_memory(memory_action::recall, int(request.value1)));
        break;
    case ptz_code::flip: send(visca_flip(request.value1 > 0.0f)); break;
    default: break;
    }
}

void command_pause()
{
    timespec remaining{0, std::chrono::nanoseconds(command_queue::pause_time).count()};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
