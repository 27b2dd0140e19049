#include "base/debug_log.h"

int debug_level = 2;
FILE* debug_stream = stderr;
bool debug_flush = false;

void debug_print(int threshold, const char* format, ...)
{
    if (debug_level <= threshold)
        return;
    va_list args;
    va_start(args, format);
    vfprintf(debug_stream, format, args);
    va_end(args);
    if (debug_flush)
        fflush(debug_stream);
}
