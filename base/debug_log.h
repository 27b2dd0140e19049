// The one-level debug log shared by every thread.
//
// debug_level, debug_stream and debug_flush are written only while the
// options are parsed (before any worker thread exists) and read without a
// lock afterwards. A message is written whole by one stdio call; there is no
// time stamp and no lock.
#pragma once

#include <cstdarg>
#include <cstdio>

extern int debug_level;      // verbosity: -p adds one, -q takes one away (never below 0)
extern FILE* debug_stream;   // standard error
extern bool debug_flush;     // -f: flush after every message

// The gate: a message with this threshold is written when the level is above it.
inline bool debug_enabled(int threshold)
{
    return debug_level > threshold;
}

// Formats and writes a message when the level is above threshold.
void debug_print(int threshold, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes a one-character progress or trace mark when the level is above threshold.
inline void debug_mark(int threshold, char mark)
{
    if (debug_level <= threshold)
        return;
    fputc(mark, debug_stream);
    if (debug_flush)
        fflush(debug_stream);
}
