#include "sim/camera/visca_camera.h"

#include <algorithm>
#include <cmath>

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

bool nibble_bytes(std::span<const uint8_t> v, size_t at, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        if (v[at + i] > 0x0F)
            return false;
    return true;
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

    outcome result = execute(v);
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
        *free_socket = {true, now + result.takes, bytes(tag.begin(), tag.end()), from, std::move(result.finish)};
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

visca_camera::outcome visca_camera::move_to(double pan, double tilt, double pan_speed, double tilt_speed)
{
    pan = std::clamp(pan, double(-pan_limit), double(pan_limit));
    tilt = std::clamp(tilt, double(-tilt_limit), double(tilt_limit));
    const duration takes = std::max(travel(pan - camera.pan, pan_speed), travel(tilt - camera.tilt, tilt_speed));
    return {0, takes, [pan, tilt](camera_state& c) {
                c.pan = pan;
                c.tilt = tilt;
                c.pan_drive = c.tilt_drive = 0;
            }};
}

visca_camera::outcome visca_camera::move_all_to(const preset& target)
{
    duration takes = std::max({shortest_recall, travel(target.pan - camera.pan, 0x18 * pan_rate),
                               travel(target.tilt - camera.tilt, 0x17 * tilt_rate),
                               travel(target.zoom - camera.zoom, zoom_direct_rate),
                               travel(target.focus - camera.focus, focus_direct_rate)});
    return {0, takes, [target](camera_state& c) {
                c.pan = target.pan;
                c.tilt = target.tilt;
                c.zoom = target.zoom;
                c.pan_drive = c.tilt_drive = c.zoom_drive = c.focus_drive = 0;
                if (!c.focus_auto)
                    c.focus = target.focus;
            }};
}

visca_camera::outcome visca_camera::execute(std::span<const uint8_t> v)
{
    const size_t n = v.size();
    const auto is = [&](std::initializer_list<uint8_t> prefix, size_t length) {
        return n == length && std::equal(prefix.begin(), prefix.end(), v.begin() + 2);
    };
    const outcome done{};
    const outcome syntax{syntax_error, {}, {}};
    const outcome refused{not_executable, {}, {}};
    camera_state& c = camera;

    if (is({0x04, 0x00}, 6)) {   // power
        if (v[4] != 0x02 && v[4] != 0x03)
            return syntax;
        c.power = v[4] == 0x02;
        return done;
    }
    if (!c.power)
        return refused;

    // Pan-tilt.
    if (is({0x06, 0x01}, 9)) {
        const uint8_t vv = v[4], ww = v[5], xx = v[6], yy = v[7];
        if (vv > 0x18 || ww > 0x18 || xx < 1 || xx > 3 || yy < 1 || yy > 3)
            return syntax;
        c.pan_drive = xx == 0x01 ? vv : xx == 0x02 ? -vv : 0;
        c.tilt_drive = yy == 0x01 ? ww : yy == 0x02 ? -ww : 0;
        return done;
    }
    if (is({0x06, 0x02}, 15) || is({0x06, 0x03}, 15)) {
        const uint8_t vv = v[4], ww = v[5];
        if (vv < 1 || vv > 0x18 || ww < 1 || ww > 0x18 || !nibble_bytes(v, 6, 8))
            return syntax;
        const double pan = int16_t(nibbles(v, 6, 4)), tilt = int16_t(nibbles(v, 10, 4));
        const bool relative = v[3] == 0x03;
        return move_to(relative ? c.pan + pan : pan, relative ? c.tilt + tilt : tilt, vv * pan_rate, ww * tilt_rate);
    }
    if (is({0x06, 0x04}, 5))   // home
        return move_to(0, 0, 0x18 * pan_rate, 0x17 * tilt_rate);
    if (is({0x06, 0x05}, 5))   // reset: to both ends and back
        return {0, reset_time, [](camera_state& s) {
                    s.pan = s.tilt = 0;
                    s.pan_drive = s.tilt_drive = 0;
                }};

    // Zoom and focus.
    if (is({0x04, 0x07}, 6)) {
        const auto steps = drive_steps(v[4]);
        if (!steps)
            return syntax;
        c.zoom_drive = *steps;
        return done;
    }
    if (is({0x04, 0x47}, 9)) {
        const int position = nibbles(v, 4, 4);
        if (!nibble_bytes(v, 4, 4) || position > zoom_tele)
            return syntax;
        c.zoom_drive = 0;
        return {0, travel(position - c.zoom, zoom_direct_rate), [position](camera_state& s) { s.zoom = position; }};
    }
    if (is({0x04, 0x38}, 6)) {
        if (v[4] == 0x02 || v[4] == 0x03)
            c.focus_auto = v[4] == 0x02;
        else if (v[4] == 0x10)
            c.focus_auto = !c.focus_auto;
        else
            return syntax;
        c.focus_drive = 0;
        return done;
    }
    if (is({0x04, 0x08}, 6)) {
        const auto steps = drive_steps(v[4]);
        if (!steps)
            return syntax;
        if (c.focus_auto)
            return refused;
        c.focus_drive = *steps;
        return done;
    }
    if (is({0x04, 0x48}, 9)) {
        const int position = nibbles(v, 4, 4);
        if (!nibble_bytes(v, 4, 4) || position < focus_near || position > focus_far)
            return syntax;
        if (c.focus_auto)
            return refused;
        c.focus_drive = 0;
        return {0, travel(position - c.focus, focus_direct_rate), [position](camera_state& s) { s.focus = position; }};
    }

    // White balance and exposure.
    if (is({0x04, 0x35}, 6)) {
        if (v[4] > 5)
            return syntax;
        c.white_balance = v[4];
        return done;
    }
    if (is({0x04, 0x10, 0x05}, 6)) {   // one-push trigger: measures for a while
        if (c.white_balance != 3)
            return refused;
        return {0, one_push_time, {}};
    }
    if (is({0x04, 0x43, 0x00, 0x00}, 9) || is({0x04, 0x44, 0x00, 0x00}, 9)) {
        if (!nibble_bytes(v, 6, 2))
            return syntax;
        if (c.white_balance != 5)
            return refused;
        (v[3] == 0x43 ? c.red_gain : c.blue_gain) = nibbles(v, 6, 2);
        return done;
    }
    if (is({0x04, 0x39}, 6)) {
        const uint8_t mode = v[4];
        if (mode != 0x00 && mode != 0x03 && mode != 0x0A && mode != 0x0B && mode != 0x0D)
            return syntax;
        c.exposure = mode;
        return done;
    }
    if (is({0x04, 0x3E}, 6) || is({0x04, 0x33}, 6)) {
        if (v[4] != 0x02 && v[4] != 0x03)
            return syntax;
        (v[3] == 0x3E ? c.exposure_comp : c.backlight) = v[4] == 0x02;
        return done;
    }
    if (auto setting = exposure_setting(v))
        return std::move(*setting);

    // Presets, picture and tally.
    if (is({0x04, 0x3F}, 7)) {
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
        return move_all_to(c.presets[number].value_or(preset{}));   // a preset never stored is home
    }
    if (is({0x04, 0x66}, 6) || is({0x04, 0x61}, 6)) {
        if (v[4] != 0x02 && v[4] != 0x03)
            return syntax;
        (v[3] == 0x66 ? c.flip : c.mirror) = v[4] == 0x02;
        return done;
    }
    if (is({0x7E, 0x01, 0x0A, 0x00}, 8)) {
        if (v[6] != 0x02 && v[6] != 0x03)
            return syntax;
        c.tally = v[6] == 0x02;
        return done;
    }
    return syntax;
}

std::optional<visca_camera::outcome> visca_camera::exposure_setting(std::span<const uint8_t> v)
{
    if (v[2] != 0x04 || (v.size() != 6 && v.size() != 9))
        return std::nullopt;
    const bool direct = v.size() == 9;
    const auto control = std::find_if(std::begin(exposure_controls), std::end(exposure_controls),
                                      [&](const exposure_control& e) { return v[3] == (direct ? e.direct : e.step); });
    if (control == std::end(exposure_controls))
        return std::nullopt;
    const outcome syntax{syntax_error, {}, {}};
    int target = 0;
    int& value = camera.*control->value;
    if (direct) {
        target = nibbles(v, 6, 2);
        if (v[4] != 0x00 || v[5] != 0x00 || !nibble_bytes(v, 6, 2) || target > control->limit)
            return syntax;
    } else if (v[4] == 0x00) {
        target = camera_state{}.*control->value;
    } else if (v[4] == 0x02 || v[4] == 0x03) {
        target = std::clamp(value + (v[4] == 0x02 ? 1 : -1), 0, control->limit);
    } else {
        return syntax;
    }
    if (!control->allowed(camera.exposure))
        return outcome{not_executable, {}, {}};
    value = target;
    return outcome{};
}

std::optional<bytes> visca_camera::inquire(std::span<const uint8_t> v) const
{
    const camera_state& c = camera;
    const size_t n = v.size();
    if (n == 6 && v[2] == 0x7E && v[3] == 0x7E)
        return inquire_block(v[4]);
    if (n == 6 && v[2] == 0x7E && v[3] == 0x01 && v[4] == 0x0A)
        return bytes{on_off(c.tally)};
    if (n != 5)
        return std::nullopt;
    // The answer's data bytes; most settings answer 00 00 0p 0q.
    const auto setting = [](int value) {
        bytes out{0x00, 0x00};
        put_nibbles(out, value, 2);
        return out;
    };
    const auto position = [](double value) {
        bytes out;
        put_nibbles(out, int(std::lround(value)), 4);
        return out;
    };
    switch (v[2] << 8 | v[3]) {
    case 0x0400: return bytes{on_off(c.power)};
    case 0x0447: return position(c.zoom);
    case 0x0406: return bytes{on_off(false)};   // digital zoom
    case 0x0446: return setting(0);             // digital zoom position
    case 0x0438: return bytes{on_off(c.focus_auto)};
    case 0x0448: return position(c.focus);
    case 0x0428: return position(focus_near);   // focus near limit
    case 0x0458: return bytes{0x02};            // auto-focus sensitivity: normal
    case 0x0457: return bytes{0x00};            // auto-focus mode: normal
    case 0x0435: return bytes{uint8_t(c.white_balance)};
    case 0x0443: return setting(c.red_gain);
    case 0x0444: return setting(c.blue_gain);
    case 0x0439: return bytes{uint8_t(c.exposure)};
    case 0x045A: return bytes{on_off(false)};   // slow shutter: manual
    case 0x044A: return setting(c.shutter);
    case 0x044B: return setting(c.iris);
    case 0x044C: return setting(c.gain);
    case 0x042C: return bytes{uint8_t(gain_limit)};
    case 0x044D: return setting(c.bright);
    case 0x043E: return bytes{on_off(c.exposure_comp)};
    case 0x044E: return setting(c.exposure_comp_level);
    case 0x0433: return bytes{on_off(c.backlight)};
    case 0x043D: return bytes{on_off(false)};   // wide dynamic range
    case 0x0442: return setting(c.aperture);
    case 0x0453: return bytes{0x02};            // noise reduction level
    case 0x045B: return bytes{0x00};            // gamma: standard
    case 0x045E: return bytes{on_off(false)};   // high sensitivity
    case 0x0463: return bytes{0x00};            // picture effect: off
    case 0x0401: return bytes{on_off(false)};   // infrared cut filter removed
    case 0x0449: return setting(0x04);          // colour gain
    case 0x044F: return setting(0x07);          // hue
    case 0x0462: return bytes{on_off(false)};   // freeze
    case 0x0475: return bytes{on_off(false)};   // mute
    case 0x0422: return position(0x0001);       // camera ID
    case 0x0466: return bytes{on_off(c.flip)};
    case 0x0461: return bytes{on_off(c.mirror)};
    case 0x0611: return bytes{0x18, 0x17};   // pan and tilt top speeds
    case 0x0612: {
        bytes out;
        put_nibbles(out, uint16_t(int16_t(std::lround(c.pan))), 4);
        put_nibbles(out, uint16_t(int16_t(std::lround(c.tilt))), 4);
        return out;
    }
    case 0x0002:   // version: vendor, model, firmware, sockets
        return bytes{0x00, 0x7F, 0x05, 0x14, 0x01, 0x50, uint8_t(sockets.size())};
    default: return std::nullopt;
    }
}

std::optional<bytes> visca_camera::inquire_block(uint8_t block) const
{
    const camera_state& c = camera;
    const auto bit = [](bool on, int shift) { return uint8_t(on ? 1 << shift : 0); };
    const bool executing = std::any_of(sockets.begin(), sockets.end(), [](const command_socket& s) { return s.busy; });
    bytes out;
    switch (block) {
    case 0x00:   // lens: zoom, focus near limit, focus, focus mode, what is moving
        put_nibbles(out, int(std::lround(c.zoom)), 4);
        put_nibbles(out, focus_near >> 8, 2);
        put_nibbles(out, int(std::lround(c.focus)), 4);
        out.push_back(0x00);
        out.push_back(bit(c.focus_auto, 0));   // digital zoom, sensitivity and focus mode bits: off, normal
        out.push_back(bit(c.zoom_drive != 0, 0) | bit(c.focus_drive != 0, 1) | bit(executing, 2));
        break;
    case 0x01:   // camera 1: gains, modes, exposure
        put_nibbles(out, c.red_gain, 2);
        put_nibbles(out, c.blue_gain, 2);
        out.insert(out.end(),
                   {uint8_t(c.white_balance), uint8_t(c.aperture), uint8_t(c.exposure),
                    uint8_t(bit(c.exposure_comp, 1) | bit(c.backlight, 2)), uint8_t(c.shutter), uint8_t(c.iris),
                    uint8_t(c.gain), uint8_t(c.bright), uint8_t(c.exposure_comp_level)});
        break;
    case 0x02:   // other: power, mirror, picture effect, camera ID, flip
        out = {bit(c.power, 0),
               bit(c.mirror, 0),
               0x00,
               0x00,
               0x00,
               0x00,
               0x01,
               bit(c.flip, 0),
               0x00,
               0x00,
               0x00,
               0x00,
               0x00};
        break;
    case 0x03:   // enlargement 1: digital zoom position, auto-focus timing
        out = {0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00};
        break;
    case 0x04:   // enlargement 2: colour gain, hue, gamma, noise reduction, sensitivity
        out = {0x00, 0x04, 0x00, 0x07, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
        break;
    case 0x05:   // enlargement 3
        out = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
        break;
    default: return std::nullopt;
    }
    return out;
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
