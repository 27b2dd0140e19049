#include "ptz/metadata_interpreter.h"

#include <rapidxml/rapidxml.hpp>
#include <strings.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/debug_log.h"

namespace {

using node = rapidxml::xml_node<char>;

// The attribute's text; null when the element has no such attribute.
const char* attribute(const node& element, const char* name)
{
    const rapidxml::xml_attribute<char>* found = element.first_attribute(name);
    return found ? found->value() : nullptr;
}

// strtod's reading of the attribute narrowed to float, or fallback when it
// is absent. Unparsable text gives 0, and so does NaN, which no clamp would
// bound; a value beyond the float range becomes an infinity.
float number(const node& element, const char* name, float fallback)
{
    const char* text = attribute(element, name);
    if (!text)
        return fallback;
    const double value = std::strtod(text, nullptr);
    if (std::isnan(value))
        return 0.0f;
    if (std::fabs(value) > double(FLT_MAX))
        return value > 0 ? INFINITY : -INFINITY;
    return float(value);
}

float clamp_signed(float value)
{
    return value >= 1.0f ? 1.0f : value <= -1.0f ? -1.0f : value;
}

float clamp_unit(float value)
{
    return value >= 1.0f ? 1.0f : value <= 0.0f ? 0.0f : value;
}

// A preset index in 0..99, or -1.
long preset_index(const node& element)
{
    const char* text = attribute(element, "index");
    const long index = text ? std::strtol(text, nullptr, 10) : 0;
    return index >= 0 && index <= 99 ? index : -1;
}

bool text_is(const char* text, const char* expected)
{
    return text && strcasecmp(text, expected) == 0;
}

ptz_request zoom_position(const node& element)
{
    return {ptz_code::zoom_position, clamp_unit(number(element, "zoom", 0.0f)), 0.0f};
}

ptz_request zoom_speed(const node& element)
{
    const float speed = number(element, "zoom_speed", 0.0f);
    if (speed == 0.0f)
        return {ptz_code::zoom_stop, 0.0f, 0.0f};
    return {ptz_code::zoom_speed, clamp_signed(speed), 0.0f};
}

ptz_request pan_tilt_speed(const node& element)
{
    const float pan = number(element, "pan_speed", 0.0f);
    const float tilt = number(element, "tilt_speed", 0.0f);
    if (pan == 0.0f && tilt == 0.0f)
        return {ptz_code::pan_tilt_stop, 0.0f, 0.0f};
    return {ptz_code::pan_tilt_speed, clamp_signed(pan), clamp_signed(tilt)};
}

ptz_request pan_tilt_position(const node& element)
{
    return {ptz_code::pan_tilt_position, clamp_signed(number(element, "pan", 0.0f)),
            clamp_signed(number(element, "tilt", 0.0f))};
}

ptz_request store_preset(const node& element)
{
    const long index = preset_index(element);
    if (index < 0)
        return {};
    return {ptz_code::store_preset, float(index), 0.0f};
}

ptz_request recall_preset(const node& element)
{
    const long index = preset_index(element);
    if (index < 0)
        return {};
    return {ptz_code::recall_preset, float(index), clamp_unit(number(element, "speed", 1.0f))};
}

ptz_request flip(const node& element)
{
    return {ptz_code::flip, text_is(attribute(element, "enabled"), "true") ? 1.0f : 0.0f, 0.0f};
}

ptz_request focus(const node& element)
{
    const char* mode = attribute(element, "mode");
    if (text_is(mode, "auto"))
        return {ptz_code::focus_auto, 0.0f, 0.0f};
    if (text_is(mode, "manual"))
        return {ptz_code::focus_manual, clamp_unit(number(element, "distance", 0.5f)), 0.0f};
    return {};
}

ptz_request white_balance(const node& element)
{
    static constexpr struct {
        const char* mode;
        int32_t code;
    } preset_modes[] = {{"auto", ptz_code::white_balance_auto},
                        {"indoor", ptz_code::white_balance_indoor},
                        {"outdoor", ptz_code::white_balance_outdoor},
                        {"one_shot", ptz_code::white_balance_one_shot}};
    const char* mode = attribute(element, "mode");
    for (const auto& m : preset_modes)
        if (text_is(mode, m.mode))
            return {m.code, 0.0f, 0.0f};
    if (text_is(mode, "manual"))
        return {ptz_code::white_balance_manual, clamp_unit(number(element, "red", 0.5f)),
                clamp_unit(number(element, "blue", 0.5f))};
    return {};
}

ptz_request exposure(const node& element)
{
    const char* mode = attribute(element, "mode");
    if (text_is(mode, "auto"))
        return {ptz_code::exposure_auto, 0.0f, 0.0f};
    if (text_is(mode, "manual"))
        return {ptz_code::exposure_manual, clamp_unit(number(element, "value", 0.5f)), 0.0f};
    return {};
}

// qrn_ptz_focus_speed and every name not here ask for nothing: code 0.
constexpr struct {
    const char* name;
    ptz_request (*request)(const node&);
} commands[] = {
    {"qrn_ptz_zoom", zoom_position},
    {"qrn_ptz_zoom_speed", zoom_speed},
    {"qrn_ptz_pan_tilt_speed", pan_tilt_speed},
    {"qrn_ptz_pan_tilt", pan_tilt_position},
    {"qrn_ptz_store_preset", store_preset},
    {"qrn_ptz_recall_preset", recall_preset},
    {"qrn_ptz_flip", flip},
    {"qrn_ptz_focus", focus},
    {"qrn_ptz_white_balance", white_balance},
    {"qrn_ptz_exposure", exposure},
};

ptz_request request_for(const node& element)
{
    const std::string name(element.name(), element.name_size());
    for (const auto& command : commands)
        if (strcasecmp(name.c_str(), command.name) == 0)
            return command.request(element);
    return {};
}

// Past the first occurrence of end at or after p, or at the NUL.
const char* past(const char* p, const char* end)
{
    const char* found = std::strstr(p, end);
    return found ? found + std::strlen(end) : p + std::strlen(p);
}

// Past the '>' that ends a document type, skipping its bracketed subset.
const char* past_doctype(const char* p)
{
    int brackets = 0;
    for (; *p; ++p) {
        if (*p == '[')
            ++brackets;
        else if (*p == ']' && brackets > 0)
            --brackets;
        else if (*p == '>' && brackets == 0)
            return p + 1;
    }
    return p;
}

bool space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

const char* past_spaces(const char* p)
{
    while (space(*p))
        ++p;
    return p;
}

// Past a name as rapidxml reads one: up to white space or one of stops.
const char* past_name(const char* p, const char* stops)
{
    while (*p && !space(*p) && !std::strchr(stops, *p))
        ++p;
    return p;
}

// Past the '>' that ends a start tag (p just past its '<'), read the way
// rapidxml reads it: a name (where a quote is just another character),
// then attributes whose values are quoted; sets empty when the tag closes
// itself ("/>"). A quote is a quote only after '=': taken anywhere, one in
// a name would hide the elements up to the next quote.
const char* past_start_tag(const char* p, bool& empty)
{
    p = past_spaces(past_name(p, "/>?"));
    while (*p && !space(*p) && !std::strchr("/<>=?!", *p)) {
        p = past_spaces(past_name(p, "/<>=?!"));
        if (*p != '=')
            break;
        p = past_spaces(p + 1);
        if (*p != '"' && *p != '\'')
            break;
        const char* end = std::strchr(p + 1, *p);
        p = past_spaces(end ? end + 1 : p + std::strlen(p));
    }
    empty = *p != '>';
    const char* close = std::strchr(p, '>');
    return close ? close + 1 : p + std::strlen(p);
}

bool starts(const char* p, const char* prefix)
{
    return std::strncmp(p, prefix, std::strlen(prefix)) == 0;
}

// "<!DOCTYPE" followed by white space, as rapidxml tells a document type
// from other "<!" nodes.
bool starts_doctype(const char* p)
{
    return starts(p, "<!DOCTYPE") && std::strchr(" \t\r\n", p[9]) && p[9] != '\0';
}

}   // namespace

bool nested_deeper_than(const char* text, int limit)
{
    int depth = 0;
    const char* p = text;
    while (*p) {
        if (*p != '<') {
            ++p;
        } else if (starts(p, "<!--")) {
            p = past(p + 4, "-->");
        } else if (starts(p, "<![CDATA[")) {
            p = past(p + 9, "]]>");
        } else if (starts(p, "<?")) {
            p = past(p + 2, "?>");
        } else if (starts_doctype(p)) {
            p = past_doctype(p + 9);
        } else if (starts(p, "<!")) {
            // rapidxml skips any other "<!" node to its first '>', brackets or
            // not: counted otherwise, a "<!x[" would hide the elements after it.
            p = past(p + 2, ">");
        } else if (starts(p, "</")) {
            depth = depth > 0 ? depth - 1 : 0;
            p = past(p + 2, ">");
        } else {
            bool empty = false;
            p = past_start_tag(p + 1, empty);
            if (!empty && ++depth > limit)
                return true;
        }
    }
    return false;
}

std::optional<ptz_request> interpret_metadata(char* text)
{
    const size_t length = strnlen(text, max_metadata_length + 1);
    if (length > max_metadata_length) {
        debug_print(1, "PTZ metadata longer than %zu bytes dropped\n", max_metadata_length);
        return std::nullopt;
    }
    if (nested_deeper_than(text, max_metadata_depth)) {
        debug_print(1, "PTZ metadata nested deeper than %d dropped\n", max_metadata_depth);
        return std::nullopt;
    }
    rapidxml::xml_document<char> document;
    try {
        document.parse<0>(text);
    } catch (const rapidxml::parse_error&) {
        return std::nullopt;
    }
    const node* first = document.first_node();
    if (!first)
        return std::nullopt;
    return request_for(*first);
}
