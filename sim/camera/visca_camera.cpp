#include "sim/camera/visca_camera.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <string_view>

namespace virtual_camera {

namespace {

constexpr uint8_t terminator = 0xFF;
constexpr uint8_t broadcast = 0x88;

// Reply kinds, in the high nibble of the reply's second byte.
constexpr uint8_t ack = 0x40;
constexpr uint8_t completion = 0x50;
constexpr uint8_t error = 0x60;

// Error codes.
constexpr uint8_t length_error = 0x01;
constexpr uint8_t syntax_error = 0x02;
constexpr uint8_t buffer_full = 0x03;
constexpr uint8_t cancelled = 0x04;
constexpr uint8_t no_socket = 0x05;
constexpr uint8_t not_executable = 0x41;

// How fast the axes move, in position units a second per speed step.
constexpr double pan_rate = 50.0;      // pan speed 1..0x18
constexpr double tilt_rate = 30.0;     // tilt speed 1..0x17
constexpr double zoom_rate = 1000.0;   // zoom speed step 1..8
constexpr double focus_rate = 3000.0;
constexpr double zoom_direct_rate = 8000.0;
constexpr double focus_direct_rate = 0xE000;
constexpr int standard_speed = 3;   // the "standard" zoom and focus drives

constexpr duration seconds(double s)
{
    return duration(int64_t(s * 1e9));
}
constexpr duration shortest_move = seconds(0.05);
constexpr duration shortest_recall = seconds(0.3);
constexpr duration one_push_time = seconds(1.0);
constexpr duration reset_time = seconds(2.0);

int nibbles(std::span<const uint8_t> v, size_t at, size_t count)
{
    int value = 0;
    for (size_t i = 0; i < count; ++i)
        value = (value << 4) | (v[at + i] & 0x0F);
    return value;
}

void put_nibbles(bytes& out, int value, int count)
{
    for (int i = count - 1; i >= 0; --i)
        out.push_back(uint8_t((value >> (4 * i)) & 0x0F));
}

uint8_t on_off(bool on)
{
    return on ? 0x02 : 0x03;
}

// The signed speed steps of a zoom or focus drive byte; nothing when not one.
std::optional<int> drive_steps(uint8_t p)
{
    if (p == 0x00)
        return 0;
    if (p == 0x02)
        return standard_speed + 1;
    if (p == 0x03)
        return -(standard_speed + 1);
    if ((p & 0xF0) == 0x20 && (p & 0x0F) <= 7)
        return (p & 0x0F) + 1;
    if ((p & 0xF0) == 0x30 && (p & 0x0F) <= 7)
        return -((p & 0x0F) + 1);
    return std::nullopt;
}

// The exposure settings a controller steps (8x 01 04 cc 00|02|03 FF: reset,
// up, down) or sets directly (8x 01 04 dd 00 00 0p 0q FF), and the exposure
// modes in which the camera lets it.
struct exposure_control {
    uint8_t step, direct;
    int camera_state::*value;
    int limit;
    bool (*allowed)(int exposure_mode);
};

bool always(int)
{
    return true;
}

const exposure_control exposure_controls[] = {
    {0x0A, 0x4A, &camera_state::shutter, shutter_limit, [](int m) { return m == 0x03 || m == 0x0A; }},
    {0x0B, 0x4B, &camera_state::iris, iris_limit, [](int m) { return m == 0x03 || m == 0x0B; }},
    {0x0C, 0x4C, &camera_state::gain, gain_limit, [](int m) { return m == 0x03; }},
    {0x0D, 0x4D, &camera_state::bright, bright_limit, [](int m) { return m == 0x0D; }},
    {0x0E, 0x4E, &camera_state::exposure_comp_level, exposure_comp_limit, always},
    {0x02, 0x42, &camera_state::aperture, aperture_limit, always},
};

duration travel(double distance, double rate)
{
    return std::max(shortest_move, seconds(std::fabs(distance) / rate));
}

bytes tagged(std::span<const uint8_t> tag, std::initializer_list<uint8_t> reply)
{
    bytes out(tag.begin(), tag.end());
    out.insert(out.end(), reply);
    return out;
}

// The command and inquiry tables. A pattern is written as VISCA manuals
// write a message after its header byte: two characters a byte, an
// upper-case hex digit a nibble that must be as given, a lower-case letter
// a nibble of a parameter ("01 04 47 0p 0q 0r 0s FF"). A message that no
// pattern fits is a syntax error; a parameter that fits the pattern but not
// the command's range is one too, said by the handler.
bool fits(std::string_view pattern, std::span<const uint8_t> v)
{
    const auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'A' + 10; };
    size_t i = 1;   // after the header
    for (size_t at = 0; at + 1 < pattern.size(); at += 3, ++i) {
        if (i >= v.size())
            return false;
        const char high = pattern[at], low = pattern[at + 1];
        if (!std::islower(uint8_t(high)) && nibble(high) != v[i] >> 4)
            return false;
        if (!std::islower(uint8_t(low)) && nibble(low) != (v[i] & 0x0F))
            return false;
    }
    return i == v.size();
}

// Whether a pattern is written as fits() reads it: bytes of two characters
// (0-9 or A-F fixed, a-z free) one space apart, ending with the terminator.
constexpr bool well_written(std::string_view pattern)
{
    const auto allowed = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'z');
    };
    if (pattern.size() % 3 != 2 || !pattern.ends_with("FF"))
        return false;
    for (size_t at = 0; at < pattern.size(); at += 3)
        if (!allowed(pattern[at]) || !allowed(pattern[at + 1]) || (at + 2 < pattern.size() && pattern[at + 2] != ' '))
            return false;
    return true;
}

using outcome = command_outcome;
const outcome done{};
const outcome syntax{syntax_error, {}, {}};
const outcome refused{not_executable, {}, {}};

outcome move_to(const camera_state& c, double pan, double tilt, double pan_speed, double tilt_speed)
{
    pan = std::clamp(pan, double(-pan_limit), double(pan_limit));
    tilt = std::clamp(tilt, double(-tilt_limit), double(tilt_limit));
    const duration takes = std::max(travel(pan - c.pan, pan_speed), travel(tilt - c.tilt, tilt_speed));
    return {0, takes,
            [pan, tilt](camera_state& s) {
                s.pan = pan;
                s.tilt = tilt;
                s.pan_drive = s.tilt_drive = 0;
            },
            true};
}

outcome move_all_to(const camera_state& c, const preset& target)
{
    duration takes = std::max(
        {shortest_recall, travel(target.pan - c.pan, 0x18 * pan_rate), travel(target.tilt - c.tilt, 0x17 * tilt_rate),
         travel(target.zoom - c.zoom, zoom_direct_rate), travel(target.focus - c.focus, focus_direct_rate)});
    return {0, takes,
            [target](camera_state& s) {
                s.pan = target.pan;
                s.tilt = target.tilt;
                s.zoom = target.zoom;
                s.pan_drive = s.tilt_drive = s.zoom_drive = s.focus_drive = 0;
                if (!s.focus_auto)
                    s.focus = target.focus;
            },
            true};
}

// Sets an on (02) / off (03) switch of the state from v[at].
template <bool camera_state::*setting, size_t at = 4>
outcome switch_setting(camera_state& c, std::span<const uint8_t> v)
{
    if (v[at] != 0x02 && v[at] != 0x03)
        return syntax;
    c.*setting = v[at] == 0x02;
    return done;
}

outcome power(camera_state& c, std::span<const uint8_t> v)
{
    return switch_setting<&camera_state::power>(c, v);
}

outcome pan_tilt_drive(camera_state& c, std::span<const uint8_t> v)
{
    const uint8_t vv = v[4], ww = v[5], xx = v[6], yy = v[7];
    if (vv > 0x18 || ww > 0x18 || xx < 1 || xx > 3 || yy < 1 || yy > 3)
        return syntax;
    c.pan_drive = xx == 0x01 ? vv : xx == 0x02 ? -vv : 0;
    c.tilt_drive = yy == 0x01 ? ww : yy == 0x02 ? -ww : 0;
    return done;
}

outcome pan_tilt_position(camera_state& c, std::span<const uint8_t> v)
{
    const uint8_t vv = v[4], ww = v[5];
    if (vv < 1 || vv > 0x18 || ww < 1 || ww > 0x18)
        return syntax;
    const double pan = int16_t(nibbles(v, 6, 4)), tilt = int16_t(nibbles(v, 10, 4));
    const bool relative = v[3] == 0x03;
    return move_to(c, relative ? c.pan + pan : pan, relative ? c.tilt + tilt : tilt, vv * pan_rate, ww * tilt_rate);
}

outcome pan_tilt_home(camera_state& c, std::span<const uint8_t>)
{
    return move_to(c, 0, 0, 0x18 * pan_rate, 0x17 * tilt_rate);
}

outcome pan_tilt_reset(camera_state&, std::span<const uint8_t>)   // to both ends and back
{
    return {0, reset_time,
            [](camera_state& s) {
                s.pan = s.tilt = 0;
                s.pan_drive = s.tilt_drive = 0;
            },
            true};
}

outcome zoom_drive(camera_state& c, std::span<const uint8_t> v)
{
    const auto steps = drive_steps(v[4]);
    if (!steps)
        return syntax;
    c.zoom_drive = *steps;
    return done;
}

outcome zoom_direct(camera_state& c, std::span<const uint8_t> v)
{
    const int position = nibbles(v, 4, 4);
    if (position > zoom_tele)
        return syntax;
    c.zoom_drive = 0;
    return {0, travel(position - c.zoom, zoom_direct_rate), [position](camera_state& s) { s.zoom = position; }};
}

outcome focus_mode(camera_state& c, std::span<const uint8_t> v)
{
    if (v[4] == 0x02 || v[4] == 0x03)
        c.focus_auto = v[4] == 0x02;
    else if (v[4] == 0x10)
        c.focus_auto = !c.focus_auto;
    else
        return syntax;
    c.focus_drive = 0;
    return done;
}

outcome focus_drive(camera_state& c, std::span<const uint8_t> v)
{
    const auto steps = drive_steps(v[4]);
    if (!steps)
        return syntax;
    if (c.focus_auto)
        return refused;
    c.focus_drive = *steps;
    return done;
}

outcome focus_direct(camera_state& c, std::span<const uint8_t> v)
{
    const int position = nibbles(v, 4, 4);
    if (position < focus_near || position > focus_far)
        return syntax;
    if (c.focus_auto)
        return refused;
    c.focus_drive = 0;
    return {0, travel(position - c.focus, focus_direct_rate), [position](camera_state& s) { s.focus = position; }};
}

outcome white_balance_mode(camera_state& c, std::span<const uint8_t> v)
{
    if (v[4] > 5)
        return syntax;
    c.white_balance = v[4];
    return done;
}

outcome one_push_trigger(camera_state& c, std::span<const uint8_t>)   // measures for a while
{
    if (c.white_balance != 3)
        return refused;
    return {0, one_push_time, {}};
}

template <int camera_state::*gain>
outcome colour_gain(camera_state& c, std::span<const uint8_t> v)
{
    if (c.white_balance != 5)
        return refused;
    c.*gain = nibbles(v, 6, 2);
    return done;
}

outcome exposure_mode(camera_state& c, std::span<const uint8_t> v)
{
    const uint8_t mode = v[4];
    if (mode != 0x00 && mode != 0x03 && mode != 0x0A && mode != 0x0B && mode != 0x0D)
        return syntax;
    c.exposure = mode;
    return done;
}

// A step (00 reset, 02 up, 03 down) or a direct value of the exposure
// setting v[3] names.
outcome exposure_setting(camera_state& c, std::span<const uint8_t> v)
{
    const bool direct = v.size() == 9;
    const auto control = std::find_if(std::begin(exposure_controls), std::end(exposure_controls),
                                      [&](const exposure_control& e) { return v[3] == (direct ? e.direct : e.step); });
    int target = 0;
    int& value = c.*control->value;
    if (direct) {
        target = nibbles(v, 6, 2);
        if (target > control->limit)
            return syntax;
    } else if (v[4] == 0x00) {
        target = camera_state{}.*control->value;
    } else if (v[4] == 0x02 || v[4] == 0x03) {
        target = std::clamp(value + (v[4] == 0x02 ? 1 : -1), 0, control->limit);
    } else {
        return syntax;
    }
    if (!control->allowed(c.exposure))
        return refused;
    value = target;
    return done;
}

outcome memory(camera_state& c, std::span<const uint8_t> v)
{
    const uint8_t action = v[4], number = v[5];
    if (action > 2 || number > 0x7F)
        return syntax;
    if (action == 0x00) {
        c.presets[number].reset();
        return done;
    }
    if (action == 0x01) {
        c.presets[number] = preset{c.pan, c.tilt, c.zoom, c.focus};
        return done;
    }
    return move_all_to(c, c.presets[number].value_or(preset{}));   // a preset never stored is home
}

struct command {
    std::string_view pattern;
    outcome (*handler)(camera_state&, std::span<const uint8_t>);
    bool when_off = false;   // works while the power is off (the rest are "not executable" then)
};

constexpr command commands[] = {
    {"01 04 00 0p FF", power, true},
    // Pan-tilt.
    {"01 06 01 vv ww 0p 0q FF", pan_tilt_drive},
    {"01 06 02 vv ww 0y 0y 0y 0y 0z 0z 0z 0z FF", pan_tilt_position},   // absolute
    {"01 06 03 vv ww 0y 0y 0y 0y 0z 0z 0z 0z FF", pan_tilt_position},   // relative
    {"01 06 04 FF", pan_tilt_home},
    {"01 06 05 FF", pan_tilt_reset},
    {"01 06 44 0p FF", switch_setting<&camera_state::pan_tilt_slow>},
    // Zoom and focus.
    {"01 04 07 pp FF", zoom_drive},
    {"01 04 47 0p 0q 0r 0s FF", zoom_direct},
    {"01 04 38 pp FF", focus_mode},
    {"01 04 08 pp FF", focus_drive},
    {"01 04 48 0p 0q 0r 0s FF", focus_direct},
    // White balance and exposure.
    {"01 04 35 0p FF", white_balance_mode},
    {"01 04 10 05 FF", one_push_trigger},
    {"01 04 43 00 00 0p 0q FF", colour_gain<&camera_state::red_gain>},
    {"01 04 44 00 00 0p 0q FF", colour_gain<&camera_state::blue_gain>},
    {"01 04 39 0p FF", exposure_mode},
    {"01 04 3E 0p FF", switch_setting<&camera_state::exposure_comp>},
    {"01 04 33 0p FF", switch_setting<&camera_state::backlight>},
    {"01 04 0A 0p FF", exposure_setting},   // shutter
    {"01 04 4A 00 00 0p 0q FF", exposure_setting},
    {"01 04 0B 0p FF", exposure_setting},   // iris
    {"01 04 4B 00 00 0p 0q FF", exposure_setting},
    {"01 04 0C 0p FF", exposure_setting},   // gain
    {"01 04 4C 00 00 0p 0q FF", exposure_setting},
    {"01 04 0D 0p FF", exposure_setting},   // bright
    {"01 04 4D 00 00 0p 0q FF", exposure_setting},
    {"01 04 0E 0p FF", exposure_setting},   // exposure compensation
    {"01 04 4E 00 00 0p 0q FF", exposure_setting},
    {"01 04 02 0p FF", exposure_setting},   // aperture
    {"01 04 42 00 00 0p 0q FF", exposure_setting},
    // Presets, picture and tally.
    {"01 04 3F 0p pp FF", memory},
    {"01 04 66 0p FF", switch_setting<&camera_state::flip>},
    {"01 04 61 0p FF", switch_setting<&camera_state::mirror>},
    {"01 7E 01 0A 00 0p FF", switch_setting<&camera_state::tally, 6>},
};
static_assert(std::ranges::all_of(commands, [](const command& c) { return well_written(c.pattern); }));

// What the inquiries read: the camera's state, and what its sockets are doing.
struct view {
    const camera_state& c;
    bool executing;         // a command waits in a socket for its completion
    bool pan_tilt_moving;   // a pan-tilt drive or move is under way
};
using reading = int (*)(const view&);

// Values the camera keeps.
constexpr reading power_on = [](const view& v) { return int(v.c.power); };
constexpr reading zoom_position = [](const view& v) { return int(std::lround(v.c.zoom)); };
constexpr reading focus_position = [](const view& v) { return int(std::lround(v.c.focus)); };
constexpr reading focus_auto = [](const view& v) { return int(v.c.focus_auto); };
constexpr reading zoom_moving = [](const view& v) { return int(v.c.zoom_drive != 0); };
constexpr reading focus_moving = [](const view& v) { return int(v.c.focus_drive != 0); };
constexpr reading executing = [](const view& v) { return int(v.executing); };
constexpr reading white_balance = [](const view& v) { return v.c.white_balance; };
constexpr reading red_gain = [](const view& v) { return v.c.red_gain; };
constexpr reading blue_gain = [](const view& v) { return v.c.blue_gain; };
constexpr reading exposure = [](const view& v) { return v.c.exposure; };
constexpr reading shutter = [](const view& v) { return v.c.shutter; };
constexpr reading iris = [](const view& v) { return v.c.iris; };
constexpr reading gain = [](const view& v) { return v.c.gain; };
constexpr reading bright = [](const view& v) { return v.c.bright; };
constexpr reading exposure_comp = [](const view& v) { return int(v.c.exposure_comp); };
constexpr reading exposure_comp_level = [](const view& v) { return v.c.exposure_comp_level; };
constexpr reading backlight = [](const view& v) { return int(v.c.backlight); };
constexpr reading aperture = [](const view& v) { return v.c.aperture; };
constexpr reading flip = [](const view& v) { return int(v.c.flip); };
constexpr reading mirror = [](const view& v) { return int(v.c.mirror); };
constexpr reading pan_tilt_slow = [](const view& v) { return int(v.c.pan_tilt_slow); };
constexpr reading tally = [](const view& v) { return int(v.c.tally); };

// The pan-tilt status word (8x 09 06 10 FF, two whole bytes). The fields
// are those published cameras list (initialisation, movement, the ends
// reached); their bit positions are our plausible choice: bits 15-14
// initialisation (10 done), bits 11-10 movement (01 moving, 00 none),
// bits 3-0 at the left, right, upper and lower end.
int pan_tilt_status(const view& v)
{
    const camera_state& c = v.c;
    return 0x8000 | (v.pan_tilt_moving ? 0x0400 : 0) | (c.pan >= pan_limit ? 0x1 : 0) |
        (c.pan <= -pan_limit ? 0x2 : 0) | (c.tilt >= tilt_limit ? 0x4 : 0) | (c.tilt <= -tilt_limit ? 0x8 : 0);
}

// Values of functions the camera has but no command of ours changes: fixed
// at what a camera answers out of the box.
constexpr reading off = [](const view&) { return 0; };
constexpr reading focus_near_limit = [](const view&) { return focus_near; };
constexpr reading af_sensitivity_low = [](const view&) { return 0; };   // normal
constexpr reading af_mode = [](const view&) { return 0; };              // normal (not interval, not zoom trigger)
constexpr reading af_times = [](const view&) { return 0x0505; };        // movement and interval time, 5 each
constexpr reading gain_limit_setting = [](const view&) { return gain_limit; };
constexpr reading noise_reduction = [](const view&) { return 2; };
constexpr reading gamma = [](const view&) { return 0; };   // standard
constexpr reading colour_gain_setting = [](const view&) { return 0x04; };
constexpr reading hue = [](const view&) { return 0x07; };
constexpr reading camera_id = [](const view&) { return 0x0001; };

// How an inquiry's answer carries a value.
template <reading r>
bytes switch_answer(const view& v)   // 02 on, 03 off
{
    return {on_off(r(v))};
}
template <reading r>
bytes byte_answer(const view& v)
{
    return {uint8_t(r(v))};
}
template <reading r>
bytes setting_answer(const view& v)   // 00 00 0p 0q
{
    bytes out{0x00, 0x00};
    put_nibbles(out, r(v), 2);
    return out;
}
template <reading r>
bytes position_answer(const view& v)   // 0p 0q 0r 0s
{
    bytes out;
    put_nibbles(out, r(v), 4);
    return out;
}
template <reading r>
bytes word_answer(const view& v)   // two whole bytes
{
    return {uint8_t(r(v) >> 8), uint8_t(r(v))};
}

bytes pan_tilt_speeds(const view&)
{
    return {0x18, 0x17};
}

bytes pan_tilt_positions(const view& v)
{
    bytes out;
    put_nibbles(out, uint16_t(int16_t(std::lround(v.c.pan))), 4);
    put_nibbles(out, uint16_t(int16_t(std::lround(v.c.tilt))), 4);
    return out;
}

// Vendor, model and firmware are whole bytes, as real cameras answer
// (0x80 and above are common); the values are our own, not a real
// camera's. Then the number of command sockets.
bytes version(const view&)
{
    return {0x00, 0x01, 0x05, 0x80, 0x80, 0x1D, 0x02};
}

// A block inquiry's 13 data bytes, each field from the reading its own
// inquiry answers with, so the two never disagree. Lens (00) and camera
// (01) follow the layout published cameras answer; the others hold the same
// kinds of field in an order that is our plausible choice.
enum class form { nibbles, byte, bits };
struct block_field {
    uint8_t at;   // first data byte
    form kind;    // nibbles: count data bytes of one nibble each; bits: count bits from shift in data byte at
    uint8_t count;
    uint8_t shift;   // nibbles: of the value from this bit; bits: to this bit
    reading value;
};
constexpr block_field nibbles_of(uint8_t at, uint8_t count, reading r, uint8_t from_bit = 0)
{
    return {at, form::nibbles, count, from_bit, r};
}
constexpr block_field byte_of(uint8_t at, reading r)
{
    return {at, form::byte, 1, 0, r};
}
constexpr block_field bit_of(uint8_t at, uint8_t bit, reading r, uint8_t count = 1)
{
    return {at, form::bits, count, bit, r};
}

const block_field lens_block[] = {
    nibbles_of(0, 4, zoom_position),
    nibbles_of(4, 2, focus_near_limit, 8),   // its high byte
    nibbles_of(6, 4, focus_position),
    bit_of(11, 0, focus_auto),
    bit_of(11, 1, off),   // digital zoom
    bit_of(11, 2, af_sensitivity_low),
    bit_of(11, 3, af_mode, 2),
    bit_of(12, 0, zoom_moving),
    bit_of(12, 1, focus_moving),
    bit_of(12, 2, executing),
};
const block_field camera_block[] = {
    nibbles_of(0, 2, red_gain),
    nibbles_of(2, 2, blue_gain),
    byte_of(4, white_balance),
    byte_of(5, aperture),
    byte_of(6, exposure),
    bit_of(7, 0, off),   // slow shutter auto
    bit_of(7, 1, exposure_comp),
    bit_of(7, 2, backlight),
    byte_of(8, shutter),
    byte_of(9, iris),
    byte_of(10, gain),
    byte_of(11, bright),
    byte_of(12, exposure_comp_level),
};
const block_field other_block[] = {
    bit_of(0, 0, power_on),
    bit_of(1, 0, mirror),
    bit_of(1, 1, off),   // freeze
    byte_of(2, off),     // picture effect
    bit_of(3, 0, off),   // mute
    byte_of(4, [](const view& v) { return pan_tilt_status(v) >> 8; }),
    byte_of(5, [](const view& v) { return pan_tilt_status(v) & 0xFF; }),
    nibbles_of(6, 4, camera_id),
    bit_of(10, 0, flip),
    bit_of(10, 1, pan_tilt_slow),
};
const block_field enlargement_1_block[] = {
    nibbles_of(0, 2, off),   // digital zoom position
    nibbles_of(4, 4, af_times),
};
const block_field enlargement_2_block[] = {
    nibbles_of(0, 2, colour_gain_setting),
    nibbles_of(2, 2, hue),
    nibbles_of(4, 2, noise_reduction),
    byte_of(6, gamma),
    bit_of(7, 0, off),   // high sensitivity
    bit_of(7, 1, off),   // high resolution
    bit_of(7, 2, off),   // wide dynamic range
};
// Enlargement 3 holds functions this camera lacks: zero, as cameras answer them.
const std::span<const block_field> blocks[] = {lens_block,          camera_block,        other_block,
                                               enlargement_1_block, enlargement_2_block, {}};

template <size_t n>
bytes block_answer(const view& v)
{
    bytes out(block_size, 0x00);
    for (const block_field& f : blocks[n]) {
        const int value = f.value(v);
        if (f.kind == form::byte)
            out[f.at] = uint8_t(value);
        else if (f.kind == form::bits)
            out[f.at] |= uint8_t((value & ((1 << f.count) - 1)) << f.shift);
        else
            for (size_t i = 0; i < f.count; ++i)
                out[f.at + i] = uint8_t((value >> (f.shift + 4 * (f.count - 1 - i))) & 0x0F);
    }
    return out;
}

struct inquiry {
    std::string_view pattern;
    bytes (*answer)(const view&);
};

constexpr inquiry inquiries[] = {
    {"09 00 02 FF", version},
    {"09 04 00 FF", switch_answer<power_on>},
    {"09 04 47 FF", position_answer<zoom_position>},
    {"09 04 06 FF", switch_answer<off>},    // digital zoom
    {"09 04 46 FF", setting_answer<off>},   // digital zoom position
    {"09 04 38 FF", switch_answer<focus_auto>},
    {"09 04 48 FF", position_answer<focus_position>},
    {"09 04 28 FF", position_answer<focus_near_limit>},
    {"09 04 58 FF", [](const view& v) { return bytes{uint8_t(af_sensitivity_low(v) ? 0x03 : 0x02)}; }},
    {"09 04 57 FF", byte_answer<af_mode>},
    {"09 04 27 FF", position_answer<af_times>},
    {"09 04 35 FF", byte_answer<white_balance>},
    {"09 04 43 FF", setting_answer<red_gain>},
    {"09 04 44 FF", setting_answer<blue_gain>},
    {"09 04 39 FF", byte_answer<exposure>},
    {"09 04 5A FF", switch_answer<off>},   // slow shutter: manual
    {"09 04 4A FF", setting_answer<shutter>},
    {"09 04 4B FF", setting_answer<iris>},
    {"09 04 4C FF", setting_answer<gain>},
    {"09 04 2C FF", byte_answer<gain_limit_setting>},
    {"09 04 4D FF", setting_answer<bright>},
    {"09 04 3E FF", switch_answer<exposure_comp>},
    {"09 04 4E FF", setting_answer<exposure_comp_level>},
    {"09 04 33 FF", switch_answer<backlight>},
    {"09 04 3D FF", switch_answer<off>},   // wide dynamic range
    {"09 04 42 FF", setting_answer<aperture>},
    {"09 04 53 FF", byte_answer<noise_reduction>},
    {"09 04 5B FF", byte_answer<gamma>},
    {"09 04 5E FF", switch_answer<off>},   // high sensitivity
    {"09 04 52 FF", switch_answer<off>},   // high resolution
    {"09 04 63 FF", byte_answer<off>},     // picture effect
    {"09 04 01 FF", switch_answer<off>},   // infrared cut filter removed
    {"09 04 49 FF", setting_answer<colour_gain_setting>},
    {"09 04 4F FF", setting_answer<hue>},
    {"09 04 62 FF", switch_answer<off>},   // freeze
    {"09 04 75 FF", switch_answer<off>},   // mute
    {"09 04 22 FF", position_answer<camera_id>},
    {"09 04 66 FF", switch_answer<flip>},
    {"09 04 61 FF", switch_answer<mirror>},
    {"09 06 10 FF", word_answer<pan_tilt_status>},
    {"09 06 11 FF", pan_tilt_speeds},
    {"09 06 12 FF", pan_tilt_positions},
    {"09 06 44 FF", switch_answer<pan_tilt_slow>},
    {"09 7E 01 0A FF", switch_answer<tally>},
    {"09 7E 7E 00 FF", block_answer<0>},
    {"09 7E 7E 01 FF", block_answer<1>},
    {"09 7E 7E 02 FF", block_answer<2>},
    {"09 7E 7E 03 FF", block_answer<3>},
    {"09 7E 7E 04 FF", block_answer<4>},
    {"09 7E 7E 05 FF", block_answer<5>},
};
static_assert(std::ranges::all_of(inquiries, [](const inquiry& i) { return well_written(i.pattern); }));

}   // namespace

const camera_state& visca_camera::state_at(duration now)
{
    advance(now);
    return camera;
}

void visca_camera::advance(duration now)
{
    if (now <= moved_to)
        return;
    const double dt = std::chrono::duration<double>(now - moved_to).count();
    moved_to = now;
    camera.pan = std::clamp(camera.pan + camera.pan_drive * pan_rate * dt, double(-pan_limit), double(pan_limit));
    camera.tilt = std::clamp(camera.tilt + camera.tilt_drive * tilt_rate * dt, double(-tilt_limit), double(tilt_limit));
    camera.zoom = std::clamp(camera.zoom + camera.zoom_drive * zoom_rate * dt, double(zoom_wide), double(zoom_tele));
    if (!camera.focus_auto)
        camera.focus =
            std::clamp(camera.focus + camera.focus_drive * focus_rate * dt, double(focus_near), double(focus_far));
}

std::vector<bytes> visca_camera::receive(std::span<const uint8_t> message, duration now)
{
    advance(now);
    if (message.size() < tag_size + 2 || message.back() != terminator)
        return {};
    const auto tag = message.first(tag_size);
    const auto v = message.subspan(tag_size);
    const uint8_t header = v[0];

    if (header == broadcast) {
        // Address set: this camera takes the address given and passes the next on.
        if (v.size() == 4 && v[1] == 0x30 && v[2] >= 1 && v[2] <= 7)
            return {tagged(tag, {broadcast, 0x30, uint8_t(v[2] + 1), terminator})};
        // Interface clear, passed on unchanged.
        if (v.size() == 5 && v[1] == 0x01 && v[2] == 0x00 && v[3] == 0x01)
            return {tagged(tag, {broadcast, 0x01, 0x00, 0x01, terminator})};
        return {};
    }
    // Only a controller (address 0) talks to a camera 1..7.
    if ((header & 0xF0) != 0x80 || (header & 0x0F) < 1 || (header & 0x0F) > 7)
        return {};
    const uint8_t from = uint8_t(((header & 0x0F) + 8) << 4);

    if (v.size() > max_visca)
        return {tagged(tag, {from, error, length_error, terminator})};
    if (v.size() < 3)
        return {tagged(tag, {from, error, syntax_error, terminator})};

    const uint8_t category = v[1];
    if (category == 0x09) {
        const auto answer = inquire(v);
        if (!answer)
            return {tagged(tag, {from, error, syntax_error, terminator})};
        bytes out(tag.begin(), tag.end());
        out.push_back(from);
        out.push_back(completion);
        out.insert(out.end(), answer->begin(), answer->end());
        out.push_back(terminator);
        return {out};
    }
    if ((category & 0xF0) == 0x20 && v.size() == 3) {
        const size_t socket = category & 0x0F;
        if (socket < 1 || socket > sockets.size() || !sockets[socket - 1].busy)
            return {tagged(tag, {from, uint8_t(error | socket), no_socket, terminator})};
        sockets[socket - 1] = {};   // the move stops where it is
        return {tagged(tag, {from, uint8_t(error | socket), cancelled, terminator})};
    }
    if (category != 0x01)
        return {tagged(tag, {from, error, syntax_error, terminator})};

    // Interface clear: empties the sockets and answers at once.
    if (v.size() == 5 && v[2] == 0x00 && v[3] == 0x01) {
        for (auto& s : sockets)
            s = {};
        return {tagged(tag, {from, completion, terminator})};
    }

    command_outcome result = execute(v);
    if (result.error)
        return {
            tagged(tag, {from, uint8_t(error | (result.error == not_executable ? 1 : 0)), result.error, terminator})};
    auto free_socket = std::find_if(sockets.begin(), sockets.end(), [](const command_socket& s) { return !s.busy; });
    if (free_socket == sockets.end())
        return {tagged(tag, {from, error, buffer_full, terminator})};
    const uint8_t number = uint8_t(free_socket - sockets.begin() + 1);

    std::vector<bytes> replies{tagged(tag, {from, uint8_t(ack | number), terminator})};
    if (result.takes == duration::zero()) {
        if (result.finish)
            result.finish(camera);
        replies.push_back(tagged(tag, {from, uint8_t(completion | number), terminator}));
    } else {
        *free_socket = {true, now + result.takes,       bytes(tag.begin(), tag.end()),
                        from, std::move(result.finish), result.moves_pan_tilt};
    }
    return replies;
}

std::vector<bytes> visca_camera::complete_due(duration now)
{
    std::vector<bytes> replies;
    for (;;) {
        auto next = sockets.end();
        for (auto s = sockets.begin(); s != sockets.end(); ++s)
            if (s->busy && s->due <= now && (next == sockets.end() || s->due < next->due))
                next = s;
        if (next == sockets.end())
            return replies;
        advance(next->due);
        if (next->finish)
            next->finish(camera);
        const uint8_t number = uint8_t(next - sockets.begin() + 1);
        replies.push_back(tagged(next->tag, {next->header, uint8_t(completion | number), terminator}));
        *next = {};
        advance(now);
    }
}

std::optional<duration> visca_camera::next_completion() const
{
    std::optional<duration> next;
    for (const auto& s : sockets)
        if (s.busy && (!next || s.due < *next))
            next = s.due;
    return next;
}

command_outcome visca_camera::execute(std::span<const uint8_t> v)
{
    const auto entry =
        std::find_if(std::begin(commands), std::end(commands), [&](const command& c) { return fits(c.pattern, v); });
    if (!camera.power && (entry == std::end(commands) || !entry->when_off))
        return refused;
    if (entry == std::end(commands))
        return syntax;
    return entry->handler(camera, v);
}

std::optional<bytes> visca_camera::inquire(std::span<const uint8_t> v) const
{
    const auto entry =
        std::find_if(std::begin(inquiries), std::end(inquiries), [&](const inquiry& i) { return fits(i.pattern, v); });
    if (entry == std::end(inquiries))
        return std::nullopt;
    const auto busy = [](const command_socket& s) { return s.busy; };
    const auto moving = [](const command_socket& s) { return s.busy && s.moves_pan_tilt; };
    const view now{camera, std::any_of(sockets.begin(), sockets.end(), busy),
                   camera.pan_drive != 0 || camera.tilt_drive != 0 ||
                       std::any_of(sockets.begin(), sockets.end(), moving)};
    return entry->answer(now);
}

bool message_framer::add(uint8_t byte, bytes& out)
{
    current.push_back(byte);
    const bool complete = (current.size() > tag_size && byte == terminator) || current.size() == max_length;
    if (!complete)
        return false;
    out = std::move(current);
    current.clear();
    return true;
}

}   // namespace virtual_camera
