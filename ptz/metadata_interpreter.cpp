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

ptz_request request_for(const node& element)
{
    const std::string name(element.name(), element.name_size());
    const auto is = [&](const char* expected) { return strcasecmp(name.c_str(), expected) == 0; };
    ptz_request r;

    if (is("qrn_ptz_zoom")) {
        r.code = ptz_code::zoom_position;
        r.value1 = clamp_unit(number(element, "zoom", 0.0f));
    } else if (is("qrn_ptz_zoom_speed")) {
        const float speed = number(element, "zoom_speed", 0.0f);
        if (speed == 0.0f) {
            r.code = ptz_code::zoom_stop;
        } else {
            r.code = ptz_code::zoom_speed;
            r.value1 = clamp_signed(speed);
        }
    } else if (is("qrn_ptz_pan_tilt_speed")) {
        const float pan = number(element, "pan_speed", 0.0f);
        const float tilt = number(element, "tilt_speed", 0.0f);
        if (pan == 0.0f && tilt == 0.0f) {
            r.code = ptz_code::pan_tilt_stop;
        } else {
            r.code = ptz_code::pan_tilt_speed;
            r.value1 = clamp_signed(pan);
            r.value2 = clamp_signed(tilt);
        }
    } else if (is("qrn_ptz_pan_tilt")) {
        r.code = ptz_code::pan_tilt_position;
        r.value1 = clamp_signed(number(element, "pan", 0.0f));
        r.value2 = clamp_signed(number(element, "tilt", 0.0f));
    } else if (is("qrn_ptz_store_preset")) {
        const long index = preset_index(element);
        if (index >= 0) {
            r.code = ptz_code::store_preset;
            r.value1 = float(index);
        }
    } else if (is("qrn_ptz_recall_preset")) {
        const long index = preset_index(element);
        if (index >= 0) {
            r.code = ptz_code::recall_preset;
            r.value1 = float(index);
            r.value2 = clamp_unit(number(element, "speed", 1.0f));
        }
    } else if (is("qrn_ptz_flip")) {
        r.code = ptz_code::flip;
        r.value1 = text_is(attribute(element, "enabled"), "true") ? 1.0f : 0.0f;
    } else if (is("qrn_ptz_focus")) {
        const char* mode = attribute(element, "mode");
        if (text_is(mode, "auto")) {
            r.code = ptz_code::focus_auto;
        } else if (text_is(mode, "manual")) {
            r.code = ptz_code::focus_manual;
            r.value1 = clamp_unit(number(element, "distance", 0.5f));
        }
    } else if (is("qrn_ptz_white_balance")) {
        const char* mode = attribute(element, "mode");
        if (text_is(mode, "auto")) {
            r.code = ptz_code::white_balance_auto;
        } else if (text_is(mode, "indoor")) {
            r.code = ptz_code::white_balance_indoor;
        } else if (text_is(mode, "outdoor")) {
            r.code = ptz_code::white_balance_outdoor;
        } else if (text_is(mode, "one_shot")) {
            r.code = ptz_code::white_balance_one_shot;
        } else if (text_is(mode, "manual")) {
            r.code = ptz_code::white_balance_manual;
            r.value1 = clamp_unit(number(element, "red", 0.5f));
            r.value2 = clamp_unit(number(element, "blue", 0.5f));
        }
    } else if (is("qrn_ptz_exposure")) {
        const char* mode = attribute(element, "mode");
        if (text_is(mode, "auto")) {
            r.code = ptz_code::exposure_auto;
        } else if (text_is(mode, "manual")) {
            r.code = ptz_code::exposure_manual;
            r.value1 = clamp_unit(number(element, "value", 0.5f));
        }
    }
    // qrn_ptz_focus_speed and every other name: code 0.
    return r;
}

// Past the first occurrence of end at or after p, or at the NUL.
const char* past(const char* p, const char* end)
{
    const char* found = std::strstr(p, end);
    return found ? found + std::strlen(end) : p + std::strlen(p);
}

// Past the '>' that ends a document type, skipping its bracketed subset.
const char* past_declaration(const char* p)
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

// Past the '>' that ends a start tag, stepping over quoted values; sets
// empty when the tag closes itself ("/>").
const char* past_start_tag(const char* p, bool& empty)
{
    char quote = 0;
    for (; *p; ++p) {
        if (quote) {
            if (*p == quote)
                quote = 0;
        } else if (*p == '"' || *p == '\'') {
            quote = *p;
        } else if (*p == '>') {
            empty = p[-1] == '/';
            return p + 1;
        }
    }
    empty = true;
    return p;
}

bool starts(const char* p, const char* prefix)
{
    return std::strncmp(p, prefix, std::strlen(prefix)) == 0;
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
        } else if (starts(p, "<!")) {
            p = past_declaration(p + 2);
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
