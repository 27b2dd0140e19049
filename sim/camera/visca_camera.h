// A VISCA camera as the appliance's serial line sees it: every message is
// an 8-byte tag followed by a VISCA message up to its 0xFF terminator, and
// every reply goes back behind the tag of the message it answers, from the
// camera the message addressed (0x81 is answered with 90 ..., 0x82 with
// A0 ...).
//
// Commands are acknowledged (x0 4y FF) on one of the camera's two command
// sockets and completed (x0 5y FF) when done: drives and settings at once,
// moves (home and reset too), zoom and focus positions, preset recalls and
// the one-push white balance after the time the optics take. Inquiries are
// answered (x0 50 ... FF) from the camera's state, with fixed values where
// it keeps none, as controllers expect when they poll a camera; the block
// inquiries (8x 09 7E 7E 0n FF) answer 13 bytes of lens, camera, other and
// enlargement settings at once, each field the value its own inquiry gives.
// Answers carry whole bytes where real cameras do (the version's model and
// firmware, the pan-tilt status word, alone and in block 02), so 0x80 and
// above appear among their data. Commands and inquiries are tables of
// patterns written as VISCA manuals write them (visca_camera.cpp). Unknown commands get a syntax error (x0 60 02 FF),
// over-long ones a length error (x0 60 01 FF), commands with both sockets
// busy "buffer full" (x0 60 03 FF) and commands the camera's state forbids
// "not executable" (x0 6y 41 FF).
//
// Time is given by the caller, so tests step it and the program runs it in
// real time.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <span>
#include <vector>

namespace virtual_camera {

using duration = std::chrono::nanoseconds;
using bytes = std::vector<uint8_t>;

constexpr size_t tag_size = 8;
constexpr size_t max_visca = 16;   // VISCA's limit, header and terminator included

// Position ranges of the camera's axes.
constexpr int pan_limit = 0x0990;   // -pan_limit..pan_limit
constexpr int tilt_limit = 0x0510;
constexpr int zoom_wide = 0x0000, zoom_tele = 0x4000;
constexpr int focus_near = 0x1000, focus_far = 0xF000;

// Ranges of the exposure settings a controller steps or sets directly
// (each 0..the limit).
constexpr int shutter_limit = 0x15;
constexpr int iris_limit = 0x11;
constexpr int gain_limit = 0x0F;
constexpr int bright_limit = 0x1F;
constexpr int exposure_comp_limit = 0x0E;   // 0x07 is no compensation
constexpr int aperture_limit = 0x0F;

// Data bytes of a block inquiry's answer (x0 50, these, FF: 16 bytes).
constexpr size_t block_size = 13;

struct preset {
    double pan = 0, tilt = 0, zoom = zoom_wide, focus = focus_far;
};

struct camera_state {
    bool power = true;
    double pan = 0, tilt = 0;            // position
    int pan_drive = 0, tilt_drive = 0;   // signed speed steps: + is left / up
    double zoom = zoom_wide;
    int zoom_drive = 0;   // signed steps: + is tele
    bool focus_auto = true;
    double focus = focus_far;
    int focus_drive = 0;     // signed steps: + is far
    int white_balance = 0;   // 0 auto, 1 indoor, 2 outdoor, 3 one-push, 4 ATW, 5 manual
    int red_gain = 0x80, blue_gain = 0x80;
    int exposure = 0;   // 0 full auto, 3 manual, 0x0A shutter, 0x0B iris, 0x0D bright
    int iris = 0x0B;
    int shutter = 0x0A;
    int gain = 0x01;
    int bright = 0x10;
    bool exposure_comp = false;
    int exposure_comp_level = 0x07;
    bool backlight = false;
    int aperture = 0x05;
    bool flip = false, mirror = false;
    bool pan_tilt_slow = false;
    bool tally = false;
    std::array<std::optional<preset>, 128> presets{};
};

// What one command does: an error code, or done at once, or done after a
// time with finish applied then. Made by the handlers of the command table.
struct command_outcome {
    uint8_t error = 0;   // 0: accepted
    duration takes{};
    std::function<void(camera_state&)> finish;
    bool moves_pan_tilt = false;   // the pan-tilt status reads "moving" until it completes
};

class visca_camera {
public:
    // One tagged message (tag and VISCA bytes through the terminator);
    // returns the replies to send now, each tagged.
    std::vector<bytes> receive(std::span<const uint8_t> message, duration now);

    // Completions whose time has come, each tagged.
    std::vector<bytes> complete_due(duration now);

    // When the next completion is due.
    std::optional<duration> next_completion() const;

    // The state at now (drives moved on to that time).
    const camera_state& state_at(duration now);

private:
    // A command socket: free, or holding a command that completes at due.
    struct command_socket {
        bool busy = false;
        duration due{};
        bytes tag;
        uint8_t header = 0;
        std::function<void(camera_state&)> finish;
        bool moves_pan_tilt = false;
    };

    void advance(duration now);
    command_outcome execute(std::span<const uint8_t> v);
    std::optional<bytes> inquire(std::span<const uint8_t> v) const;

    camera_state camera;
    duration moved_to{};
    std::array<command_socket, 2> sockets{};
};

// Cuts the line's byte stream into tagged messages: eight tag bytes (any
// values), then VISCA bytes through 0xFF. A message that runs past
// max_length without a terminator is cut off there.
class message_framer {
public:
    static constexpr size_t max_length = tag_size + 64;

    // Adds one byte; true when it completed a message, now in out.
    bool add(uint8_t byte, bytes& out);

private:
    bytes current;
};

}   // namespace virtual_camera
