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
    case ptz_code::white_balance_auto: select_white_balance(wb::automatic); break;
    case ptz_code::white_balance_indoor: select_white_balance(wb::indoor); break;
    case ptz_code::white_balance_outdoor: select_white_balance(wb::outdoor); break;
    case ptz_code::white_balance_one_shot: one_push_white_balance(); break;
    case ptz_code::white_balance_manual: manual_white_balance(request.value1, request.value2); break;
    case ptz_code::focus_auto:
        send(visca_focus_mode(false));
        focus = 0;
        break;
    case ptz_code::focus_manual: manual_focus(request.value1); break;
    case ptz_code::exposure_auto:
        send(visca_ae_mode(false));
        exposure = 0;
        break;
    case ptz_code::exposure_manual: manual_exposure(request.value1); break;
    case ptz_code::store_preset: send(visca_memory(memory_action::store, int(request.value1))); break;
    case ptz_code::recall_preset:   // the camera recalls at its own speed
        send(visca_memory(memory_action::recall, int(request.value1)));
        break;
    case ptz_code::flip: send(visca_flip(request.value1 > 0.0f)); break;
    default: break;
    }
}

void command_queue::select_white_balance(int mode)
{
    send(visca_white_balance(mode));
    white_balance = mode;
}

void command_queue::one_push_white_balance()
{
    namespace wb = white_balance_mode;
    // Already in one-push mode: measure again.
    send(visca_white_balance(white_balance == wb::one_push ? wb::one_push_trigger : wb::one_push));
    white_balance = wb::one_push;
}

void command_queue::manual_white_balance(float red, float blue)
{
    if (white_balance != white_balance_mode::manual) {
        send(visca_white_balance(white_balance_mode::manual));
        pause();
        white_balance = white_balance_mode::manual;
    }
    if (red != red_gain) {
        send(visca_red_gain(red));
        pause();
        red_gain = red;
    }
    if (blue != blue_gain) {
        send(visca_blue_gain(blue));
        pause();
        blue_gain = blue;
    }
}

void command_queue::manual_focus(float distance)
{
    if (focus != 1) {
        send(visca_focus_mode(true));
        pause();
        focus = 1;
    }
    send(visca_focus_direct(distance));
}

void command_queue::manual_exposure(float value)
{
    if (exposure != 1) {
        send(visca_ae_mode(true));
        pause();
        exposure = 1;
    }
    send(visca_iris(value));
}

bool may_change_camera_modes(const uint8_t* message, size_t n)
{
    constexpr uint8_t command = 0x01;
    constexpr uint8_t camera = 0x04;
    if (n < 5 || message[1] != command || message[2] != camera)
        return false;
    switch (message[3]) {
    // White balance: the mode, the gains stepped or reset, the gains set.
    case 0x35:
    case 0x03:
    case 0x04:
    case 0x43:
    case 0x44:
    // Focus: the mode and its one-push trigger.
    case 0x38:
    case 0x18:
    // Exposure: the mode and what it governs (iris, shutter, gain,
    // brightness). Forgetting costs one mode command sent again; remembering
    // wrongly costs an iris the camera ignores.
    case 0x39:
    case 0x0B:
    case 0x4B:
    case 0x0A:
    case 0x4A:
    case 0x0C:
    case 0x4C:
    case 0x0D:
    case 0x4D:
    // What resets the camera: power, initialising the lens or the camera.
    case 0x00:
    case 0x19: return true;
    // A preset recall: the camera's memories hold focus, exposure and white
    // balance as well as the position.
    case 0x3F: return message[4] == 0x02;
    default: return false;
    }
}

void command_pause()
{
    timespec remaining{0, std::chrono::nanoseconds(command_queue::pause_time).count()};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
