// The VISCA commands the service itself sends to the camera, each addressed
// to camera 2 (first byte 0x82, last 0xFF). The encoders are pure: they
// build the bytes and the caller hands them to ptz::send_serial, which puts
// the service's serial tag in front.
//
// Every float argument is bounded before it becomes a byte (NaN counts as 0),
// so no argument can put a 0xFF terminator or a header byte inside a message.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

struct visca_message {
    static constexpr size_t max_size = 16;   // VISCA's own limit, terminator included
    std::array<uint8_t, max_size> bytes{};
    size_t size = 0;

    const uint8_t* data() const { return bytes.data(); }
};

// Pan and tilt speeds -1..1: positive pan is left (01), positive tilt up (01);
// a speed that truncates to 0 stops that axis (03).
visca_message visca_pan_tilt_drive(float pan, float tilt);
// -1..1: positive is tele (0x2z), negative wide (0x3z); |z| below 1 stops.
visca_message visca_zoom(float speed);
// 0..1 over the zoom range 0..0x4000.
visca_message visca_zoom_direct(float position);

enum class memory_action : uint8_t { store = 0x01, recall = 0x02 };
visca_message visca_memory(memory_action action, int index);

visca_message visca_flip(bool on);
visca_message visca_tally(bool on);
visca_message visca_focus_mode(bool manual);
// 0..1 over the focus range 0x1000..0xF000.
visca_message visca_focus_direct(float distance);

// Modes the white-balance command takes; one_push_trigger sends the trigger
// of a one-push measurement instead of a mode.
namespace white_balance_mode {
constexpr int automatic = 0;
constexpr int indoor = 1;
constexpr int outdoor = 2;
constexpr int one_push = 3;
constexpr int one_push_trigger = 4;
constexpr int manual = 5;
}   // namespace white_balance_mode
visca_message visca_white_balance(int mode);

// 0..1 over the gain range 0..255.
visca_message visca_red_gain(float gain);
visca_message visca_blue_gain(float gain);
visca_message visca_ae_mode(bool manual);
// 0..1 over the 14 iris positions.
visca_message visca_iris(float value);
