// Process-wide conveniences used by every part of the program.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

extern const char* const program_version;   // "1.5.0"

// Puts the calling thread into SCHED_FIFO at the maximum priority minus n.
// Returns false when the system refuses (the caller reports it and runs on).
bool set_thread_priority(int n);

// Capture time in 100 ns units since the Unix epoch: the wall clock read once
// at load, advanced by CLOCK_REALTIME since then.
int64_t timestamp_100ns();

// Names the calling thread as it appears in ps and gdb.
void set_thread_name(const char* name);

// A platform path ("/dev/mem", "/proc/device-tree/...", "/dev/ttyS1") under
// the board root (base/board_root.h); none means the real root, as on the
// board.
std::string platform_path(std::string_view path);
