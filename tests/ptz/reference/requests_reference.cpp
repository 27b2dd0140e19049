#include "tests/ptz/reference/requests_reference.h"

#include <rapidxml/rapidxml.hpp>
#include <strings.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace reference {
namespace {

using element = rapidxml::xml_node<char>;

// --- Metadata: element -> request ---

const char* attribute(const element& e, const char* name)
{
    const rapidxml::xml_attribute<char>* a = e.first_attribute(name);
    return a ? a->value() : nullptr;
}

// strtod, then narrowed to a 32-bit float the way the hardware rounds
// (beyond the float range: an infinity).
float float_attribute(const element& e, const char* name, float missing, const mends& applied)
{
    const char* text = attribute(e, name);
    if (!text)
        return missing;
    const double d = std::strtod(text, nullptr);
    if (std::isnan(d))
        return applied.nan_reads_as_zero ? 0.0f : NAN;
    if (d > FLT_MAX)
        return INFINITY;
    if (d < -FLT_MAX)
        return -INFINITY;
    return float(d);
}

float clamp_pm1(float v)
{
    if (v >= 1)
        return 1.0f;
    if (v <= -1)
        return -1.0f;
    return v;
}

float clamp_01(float v)
{
    if (v >= 1)
        return 1.0f;
    if (v <= 0)
        return 0.0f;
    return v;
}

long index_attribute(const element& e)
{
    const char* text = attribute(e, "index");
    return text ? std::strtol(text, nullptr, 10) : 0;
}

bool equals(const char* text, const char* word)
{
    return text && strcasecmp(text, word) == 0;
}

request request_from(const element& e, const mends& m)
{
    const std::string name(e.name(), e.name_size());
    const char* n = name.c_str();
    request r;   // code 0, values 0
    if (!strcasecmp(n, "qrn_ptz_zoom")) {
        r.code = 0x204;
        r.value1 = clamp_01(float_attribute(e, "zoom", 0.0f, m));
    } else if (!strcasecmp(n, "qrn_ptz_zoom_speed")) {
        const float speed = float_attribute(e, "zoom_speed", 0.0f, m);
        if (speed == 0) {
            r.code = 0x202;
        } else {
            r.code = 0x200;
            r.value1 = clamp_pm1(speed);
        }
    } else if (!strcasecmp(n, "qrn_ptz_pan_tilt_speed")) {
        const float pan = float_attribute(e, "pan_speed", 0.0f, m);
        const float tilt = float_attribute(e, "tilt_speed", 0.0f, m);
        if (pan == 0 && tilt == 0) {
            r.code = 0x102;
        } else {
            r.code = 0x100;
            r.value1 = clamp_pm1(pan);
            r.value2 = clamp_pm1(tilt);
        }
    } else if (!strcasecmp(n, "qrn_ptz_pan_tilt")) {
        r.code = 0x104;
        r.value1 = clamp_pm1(float_attribute(e, "pan", 0.0f, m));
        r.value2 = clamp_pm1(float_attribute(e, "tilt", 0.0f, m));
    } else if (!strcasecmp(n, "qrn_ptz_store_preset")) {
        const long index = index_attribute(e);
        if (index >= 0 && index <= 99) {
            r.code = 0x600;
            r.value1 = float(index);
        }
    } else if (!strcasecmp(n, "qrn_ptz_recall_preset")) {
        const long index = index_attribute(e);
        const float speed = clamp_01(float_attribute(e, "speed", 1.0f, m));
        if (index >= 0 && index <= 99) {
            r.code = 0x602;
            r.value1 = float(index);
            r.value2 = speed;
        }
    } else if (!strcasecmp(n, "qrn_ptz_flip")) {
        r.code = 0x700;
        r.value1 = equals(attribute(e, "enabled"), "true") ? 1.0f : 0.0f;
    } else if (!strcasecmp(n, "qrn_ptz_focus")) {
        const char* mode = attribute(e, "mode");
        if (equals(mode, "auto")) {
            r.code = 0x400;
        } else if (equals(mode, "manual")) {
            r.code = 0x402;
            r.value1 = clamp_01(float_attribute(e, "distance", 0.5f, m));
        }
    } else if (!strcasecmp(n, "qrn_ptz_white_balance")) {
        const char* mode = attribute(e, "mode");
        if (equals(mode, "auto")) {
            r.code = 0x300;
        } else if (equals(mode, "indoor")) {
            r.code = 0x302;
        } else if (equals(mode, "outdoor")) {
            r.code = 0x304;
        } else if (equals(mode, "one_shot")) {
            r.code = 0x306;
        } else if (equals(mode, "manual")) {
            r.code = 0x308;
            r.value1 = clamp_01(float_attribute(e, "red", 0.5f, m));
            r.value2 = clamp_01(float_attribute(e, "blue", 0.5f, m));
        }
    } else if (!strcasecmp(n, "qrn_ptz_exposure")) {
        const char* mode = attribute(e, "mode");
        if (equals(mode, "auto")) {
            r.code = 0x500;
        } else if (equals(mode, "manual")) {
            r.code = 0x502;
            r.value1 = clamp_01(float_attribute(e, "value", 0.5f, m));
        }
    }
    return r;
}

// Whether rapidxml parsed e from "<name .../>": in a non-destructive parse
// the name and values point into the text, so the tag's end can be read.
bool written_empty(const element& e)
{
    const char* p = e.name() + e.name_size();
    if (const rapidxml::xml_attribute<char>* last = e.last_attribute())
        p = last->value() + last->value_size() + 1;   // past the closing quote
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')
        ++p;
    return *p == '/';
}

int contents_depth(const element& e)
{
    int deepest = written_empty(e) ? 0 : 1;
    for (const element* child = e.first_node(); child; child = child->next_sibling())
        if (child->type() == rapidxml::node_element) {
            const int below = contents_depth(*child);
            if (below > 0 && 1 + below > deepest)
                deepest = 1 + below;
        }
    return deepest;
}

// --- VISCA encoders: every command for camera 2 ---

using bytes = std::vector<uint8_t>;

int trunc_to_int(float x)
{
    return int(std::trunc(x));
}

int bounded(int v, int lo, int hi)
{
    return v < lo ? lo : v > hi ? hi : v;
}

uint8_t sign_byte(int v)
{
    if (v > 0)
        return 0x01;
    if (v < 0)
        return 0x02;
    return 0x03;
}

bytes pan_tilt_drive(float pan, float tilt)
{
    const int p = bounded(trunc_to_int(pan * 24.0f), -24, 24);
    const int t = bounded(trunc_to_int(tilt * 23.0f), -24, 24);
    return {0x82, 0x01, 0x06, 0x01, uint8_t(std::abs(p)), uint8_t(std::abs(t)), sign_byte(p), sign_byte(t), 0xFF};
}

bytes zoom(float speed)
{
    const int z = trunc_to_int(speed * 15.0f);
    uint8_t zz = 0x00;
    if (z > 7)
        zz = 0x27;
    else if (z < -7)
        zz = 0x37;
    else if (z >= 1)
        zz = uint8_t(0x20 + z);
    else if (z <= -1)
        zz = uint8_t(0x30 + -z);
    return {0x82, 0x01, 0x04, 0x07, zz, 0xFF};
}

bytes four_digits(uint8_t command, int n)
{
    return {0x82,
            0x01,
            0x04,
            command,
            uint8_t((n >> 12) & 0xF),
            uint8_t((n >> 8) & 0xF),
            uint8_t((n >> 4) & 0xF),
            uint8_t(n & 0xF),
            0xFF};
}

bytes two_digits(uint8_t command, int n)
{
    return {0x82, 0x01, 0x04, command, 0x00, 0x00, uint8_t((n >> 4) & 0xF), uint8_t(n & 0xF), 0xFF};
}

bytes zoom_direct(float position)
{
    return four_digits(0x47, bounded(trunc_to_int(position * float(0x4000)), 0, 0x4000));
}

bytes focus_direct(float distance)
{
    return four_digits(0x48, trunc_to_int(distance * float(0xE000)) + 0x1000);
}

bytes memory(bool store, int index)
{
    return {0x82, 0x01, 0x04, 0x3F, uint8_t(store ? 0x01 : 0x02), uint8_t(index), 0xFF};
}

bytes white_balance(int mode)
{
    if (mode == 4)
        return {0x82, 0x01, 0x04, 0x10, 0x05, 0xFF};
    return {0x82, 0x01, 0x04, 0x35, uint8_t(mode), 0xFF};
}

bytes iris(float value)
{
    static const uint8_t table[14] = {0x00, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A,
                                      0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11};
    return two_digits(0x4B, table[trunc_to_int(value * 13.0f)]);
}

// --- The queue thread ---

class queue_thread {
public:
    explicit queue_thread(trace& line) : out(line) {}

    void execute(const request& r)
    {
        switch (r.code) {
        case 0x100:
        case 0x102:
        case 0x104: send(pan_tilt_drive(r.value1, r.value2)); break;
        case 0x200:
        case 0x202: send(zoom(r.value1)); break;
        case 0x204: send(zoom_direct(r.value1)); break;
        case 0x300: send(white_balance(wb = 0)); break;
        case 0x302: send(white_balance(wb = 1)); break;
        case 0x304: send(white_balance(wb = 2)); break;
        case 0x306:
            send(white_balance(wb == 3 ? 4 : 3));
            wb = 3;
            break;
        case 0x308:
            if (wb != 5) {
                send(white_balance(5));
                pause();
            }
            if (r.value1 != red) {
                send(two_digits(0x43, trunc_to_int(r.value1 * 255.0f)));
                pause();
                red = r.value1;
            }
            if (r.value2 != blue) {
                send(two_digits(0x44, trunc_to_int(r.value2 * 255.0f)));
                pause();
                blue = r.value2;
            }
            wb = 5;
            break;
        case 0x400:
            send({0x82, 0x01, 0x04, 0x38, 0x02, 0xFF});
            focus = 0;
            break;
        case 0x402:
            if (focus != 1) {
                send({0x82, 0x01, 0x04, 0x38, 0x03, 0xFF});
                pause();
            }
            send(focus_direct(r.value1));
            focus = 1;
            break;
        case 0x500:
            send({0x82, 0x01, 0x04, 0x39, 0x00, 0xFF});
            exposure = 0;
            break;
        case 0x502:
            if (exposure != 1) {
                send({0x82, 0x01, 0x04, 0x39, 0x03, 0xFF});
                pause();
            }
            send(iris(r.value1));
            exposure = 1;
            break;
        case 0x600: send(memory(true, trunc_to_int(r.value1))); break;
        case 0x602: send(memory(false, trunc_to_int(r.value1))); break;
        case 0x700: send({0x82, 0x01, 0x04, 0x66, uint8_t(r.value1 > 0 ? 0x02 : 0x03), 0xFF}); break;
        default: break;
        }
    }

    void pause() { out.push_back({}); }

private:
    void send(const bytes& b) { out.push_back(b); }

    trace& out;
    int wb = 6;
    int focus = 2;
    int exposure = 2;
    float red = 0.5f;
    float blue = 0.5f;
};

bool is_stop(int32_t code)
{
    return code == 0x102 || code == 0x202 || code == -1;
}

// Which waiting request a push onto 63 drops.
size_t dropped_when_full(const std::deque<request>& waiting, const mends& m)
{
    if (!m.stops_kept)
        return 0;
    for (size_t i = 0; i < waiting.size(); ++i)
        if (!is_stop(waiting[i].code))
            return i;
    for (size_t i = 0; i < waiting.size(); ++i)
        for (size_t j = i + 1; j < waiting.size(); ++j)
            if (waiting[j].code == waiting[i].code)
                return i;
    return 0;
}

void push(std::deque<request>& waiting, const request& r, const mends& m)
{
    if (waiting.size() == 63)
        waiting.erase(waiting.begin() + long(dropped_when_full(waiting, m)));
    waiting.push_back(r);
}

request take(std::deque<request>& waiting)
{
    request r = waiting.front();
    waiting.pop_front();
    while (!waiting.empty() && waiting.front().code == r.code) {
        r = waiting.front();
        waiting.pop_front();
    }
    return r;
}

}   // namespace

std::optional<request> metadata_request(const std::string& text, const mends& applied)
{
    if (applied.bounded_documents) {
        if (std::strlen(text.c_str()) > 1024)
            return std::nullopt;
        const std::optional<int> depth = element_depth(text);
        if (depth && *depth > 4)
            return std::nullopt;
    }
    std::vector<char> copy(text.c_str(), text.c_str() + std::strlen(text.c_str()) + 1);
    rapidxml::xml_document<char> document;
    try {
        document.parse<0>(copy.data());
    } catch (const rapidxml::parse_error&) {
        return std::nullopt;
    }
    const element* first = document.first_node();
    if (!first)
        return std::nullopt;
    return request_from(*first, applied);
}

std::optional<int> element_depth(const std::string& text)
{
    std::vector<char> copy(text.c_str(), text.c_str() + std::strlen(text.c_str()) + 1);
    rapidxml::xml_document<char> document;
    try {
        document.parse<rapidxml::parse_non_destructive>(copy.data());
    } catch (const rapidxml::parse_error&) {
        return std::nullopt;
    }
    int deepest = 0;
    for (const element* e = document.first_node(); e; e = e->next_sibling())
        if (e->type() == rapidxml::node_element && contents_depth(*e) > deepest)
            deepest = contents_depth(*e);
    return deepest;
}

trace serve(const std::vector<request>& pushed, const mends& applied)
{
    std::deque<request> waiting;
    for (const request& r : pushed)
        push(waiting, r, applied);
    push(waiting, {-1, 0, 0}, applied);

    trace line;
    queue_thread thread(line);
    while (!waiting.empty()) {
        const request r = take(waiting);
        if (r.code == -1)
            break;
        thread.execute(r);
        thread.pause();
    }
    return line;
}

}   // namespace reference
