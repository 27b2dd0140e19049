// The records a board run leaves (board_run_options): the virtual FPGA's
// core log, the NDI stand-in's send log, the stand-ins' call costs and the
// virtual camera's timing log, read back. Times are wall-clock nanoseconds; a line that does not
// parse is skipped.
//
// Thread rules: none; plain functions and values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// The records' clock (CLOCK_REALTIME), in nanoseconds.
int64_t wall_clock_ns();
// "1712345678.123456789": nanoseconds, or -1.
int64_t parse_wall_time(const std::string& text);

struct core_event {
    int64_t ns = 0;
    std::string source;   // a model ("vid_in", "encoder0") or an interrupt line ("ndi_enc")
    std::string what;     // "start" or "irq"
};
std::vector<core_event> read_core_log(const std::string& path);
// The times of one source's events of one kind, in order.
std::vector<int64_t> times_of(const std::vector<core_event>& events, const std::string& source,
                              const std::string& what);

struct send_call {
    int64_t ns = 0;
    std::string stream;     // "SHQ2", "shq2", ... or "audio"
    int64_t timecode = 0;   // 100 ns units
    int64_t bytes = 0;
    std::string format;   // video: progressive, field0, field1, interleaved
    bool video() const { return stream != "audio"; }
    bool preview() const { return video() && !stream.empty() && stream[0] >= 'a' && stream[0] <= 'z'; }
};
std::vector<send_call> read_send_log(const std::string& path);

struct serial_message {
    int64_t ns = 0;
    bool from_program = false;    // "in": read by the camera; else a reply it wrote
    std::vector<uint8_t> bytes;   // tag included
};
std::vector<serial_message> read_camera_timing(const std::string& path);

// The stand-in libraries' sampled calls (sim/call_cost/call_cost.h).
struct measured_call {
    int64_t ns = 0;
    int tid = 0;
    std::string library;    // "uio" or "ndi"
    int64_t cpu_ns = 0;     // the call's CPU, the clock read taken off
    int64_t clock_ns = 0;   // one clock read's
};
std::vector<measured_call> read_call_cost(const std::string& path);
// What a thread's (0: any thread's) calls into a library (empty: any) cost
// it in [start, end), estimated from the sampled ones, with what measuring
// them cost.
int64_t call_cost_ns(const std::vector<measured_call>& calls, int tid, const std::string& library, int64_t start,
                     int64_t end);

std::vector<uint8_t> parse_hex(const std::string& text);
std::string hex_text(const std::vector<uint8_t>& bytes);

}   // namespace bench
