#include "base/format_text.h"

#include <cstdarg>
#include <cstdio>

std::string format_text(const char* format, ...)
{
    // Most pieces fit the first try; a longer one is formatted again into
    // a string of its measured length.
    char piece[128];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(piece, sizeof piece, format, args);
    va_end(args);
    std::string text;
    if (length > 0 && size_t(length) < sizeof piece) {
        text.assign(piece, size_t(length));
    } else if (length > 0) {
        text.resize(size_t(length));
        std::vsnprintf(text.data(), text.size() + 1, format, again);
    }
    va_end(again);
    return text;
}
