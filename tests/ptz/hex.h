// Bytes as the tests write them: upper-case hex separated by spaces.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "ptz/visca_encoder.h"

inline std::string hex(const uint8_t* data, size_t n)
{
    std::string out;
    char byte[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", data[i]);
        out += byte;
    }
    return out;
}

inline std::string hex(const std::vector<uint8_t>& b)
{
    return hex(b.data(), b.size());
}

inline std::string hex(const visca_message& m)
{
    return hex(m.data(), m.size);
}
