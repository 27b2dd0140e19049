// The command line: "I:O:XxpqfFv".
#pragma once

#include <optional>

struct options {
    bool video = true;        // -X clears
    bool audio = true;        // -x clears
    bool full_only = false;   // -F
    int command_fd = -1;      // -I path, close-on-exec; the caller owns it
    int reply_fd = -1;        // -O path, close-on-exec; the caller owns it
};

// Parses the options left to right, adjusting the debug log as it goes. The
// -O pipe is awaited until the supervisor opens its reading end or a stop
// signal comes; the caller then finds stop_requested() set.
// Returns the exit status when the program is to stop at once (-v, a bad
// option), nothing when it is to run.
std::optional<int> parse_options(int argc, char** argv, options& result);
