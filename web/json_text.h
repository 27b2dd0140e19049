// The few pieces of JSON the daemon writes by hand: strings escaped for
// any byte the program or a client may have put in them, numbers that are
// never NaN or infinite (JSON has neither).
#pragma once

#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>

inline void append_json_string(std::string& out, std::string_view text)
{
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            // Beyond ASCII too: the status line is ASCII, anything else is
            // a fault worth seeing, not a character to pass on half-made.
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

inline void append_json_number(std::string& out, double value)
{
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    char text[32];
    // Times since the epoch to the millisecond; figures to six digits.
    snprintf(text, sizeof text, std::fabs(value) >= 1e6 ? "%.3f" : "%.6g", value);
    out += text;
}
