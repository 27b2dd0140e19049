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
constexpr double pan_rate = 50.0;    // pan speed 1..0x18
constexpr double tilt_rate = 30.0;   // tilt speed 1..0x17
constexpr double zoom_rate = 1000.0; // zoom speed step 1..8
constexpr double focus_rate = 3000.0;
constexpr double zoom_direct_rate = 8000.0;
constexpr double focus_direct_rate = 0xE000;
constexpr int standard_speed = 3;    // the "standard" zoom and focus drives

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

}  // namespace

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
        camera.focus = std::clamp(camera.focus + camera.focus_drive * focus_rate * dt, double(focus_near),
                                  double(focus_far));
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
        return {tagged(tag, {from, uint8_t(error | (result.error == not_executable ? 1 : 0)), result.error,
                             terminator})};
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
    if (is({0x06, 0x04}, 4))   // home
        return move_to(0, 0, 0x18 * pan_rate, 0x17 * tilt_rate);
    if (is({0x06, 0x05}, 4))   // reset: to both ends and back
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
    if (is({0x04, 0x4B, 0x00, 0x00}, 9)) {
        const int iris = nibbles(v, 6, 2);
        if (!nibble_bytes(v, 6, 2) || iris > 0x11)
            return syntax;
        if (c.exposure != 0x03 && c.exposure != 0x0B)
            return refused;
        c.iris = iris;
        return done;
    }

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

std::optional<bytes> visca_camera::inquire(std::span<const uint8_t> v) const
{
    const size_t n = v.size();
    const auto is = [&](std::initializer_list<uint8_t> rest) {
        return n == rest.size() + 3 && std::equal(rest.begin(), rest.end(), v.begin() + 2);
    };
    const camera_state& c = camera;
    bytes out;
    if (is({0x04, 0x00}))
        out = {on_off(c.power)};
    else if (is({0x04, 0x47}))
        put_nibbles(out, int(std::lround(c.zoom)), 4);
    else if (is({0x04, 0x38}))
        out = {on_off(c.focus_auto)};
    else if (is({0x04, 0x48}))
        put_nibbles(out, int(std::lround(c.focus)), 4);
    else if (is({0x04, 0x35}))
        out = {uint8_t(c.white_balance)};
    else if (is({0x04, 0x43}) || is({0x04, 0x44})) {
        out = {0x00, 0x00};
        put_nibbles(out, v[3] == 0x43 ? c.red_gain : c.blue_gain, 2);
    } else if (is({0x04, 0x39}))
        out = {uint8_t(c.exposure)};
    else if (is({0x04, 0x4B})) {
        out = {0x00, 0x00};
        put_nibbles(out, c.iris, 2);
    } else if (is({0x04, 0x66}))
        out = {on_off(c.flip)};
    else if (is({0x04, 0x61}))
        out = {on_off(c.mirror)};
    else if (is({0x06, 0x12})) {
        put_nibbles(out, uint16_t(int16_t(std::lround(c.pan))), 4);
        put_nibbles(out, uint16_t(int16_t(std::lround(c.tilt))), 4);
    } else if (is({0x7E, 0x01, 0x0A}))
        out = {on_off(c.tally)};
    else if (is({0x00, 0x02}))   // version: vendor, model, firmware, sockets
        out = {0x00, 0x7F, 0x05, 0x14, 0x01, 0x50, uint8_t(sockets.size())};
    else
        return std::nullopt;
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

}  // namespace virtual_camera
