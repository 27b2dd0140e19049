// printf into a std::string, whatever the length: for texts built a piece
// at a time (the status line, the network-settings reply) where a fixed
// buffer would cut a piece short without a word.
#pragma once

#include <string>

std::string format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));
