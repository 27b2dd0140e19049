// One measured run of the whole appliance at one input format and encoder
// count, with a receiver (ndi-monitor) on the LAN: after a warm-up, the
// CPU each thread of the program's process spends in a window of the given
// length, and what passed through the pipeline in that window, from the
// board's core log and the NDI stand-in's send log.
//
// Thread rules: none; the caller's thread runs it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bench/board_records.h"
#include "bench/report.h"
#include "bench/thread_times.h"
#include "sim/monitor/monitor_report.h"

namespace bench {

struct pipeline_config {
    std::string signal = "1080p59.94";
    int encoders = 4;
    double seconds = 60;         // the measured window
    double warm_up = 5;          // before it, from the program's start
    std::string label() const;   // "1080p59.94, 4 encoder cores"
    // From --signal, --encoders and --seconds.
    static pipeline_config from(const arguments& args);
};

struct pipeline_result {
    pipeline_config config;
    double window_seconds = 0;
    double load_average = 0;   // the machine's, over the last minute, at the end
    std::vector<thread_group> threads;
    int vanished_threads = 0;   // ended within the window: their CPU is not counted
    // In the window (by capture time for what was sent):
    uint64_t captured = 0;   // full-resolution pictures (fields) the input core finished
    uint64_t coded = 0;      // encoder runs (full and preview pictures)
    uint64_t sent_full = 0, sent_preview = 0, sent_audio = 0;
    std::optional<ndi_monitor::monitor_report> monitor;   // the receiver's summary of its whole connection
    std::string guest_errors;
    // The records of the whole run, for analyses of their own.
    std::vector<core_event> core_events;
    std::vector<send_call> sends;
    std::vector<measured_call> stand_in_calls;
    int64_t window_start_ns = 0, window_end_ns = 0;

    uint64_t dropped() const { return captured > sent_full ? captured - sent_full : 0; }
    // CPU nanoseconds per captured picture of a group, an owner's threads.
    double per_picture_ns(int64_t cpu_ns) const { return captured ? double(cpu_ns) / double(captured) : 0; }
    int64_t program_ns() const { return total_of(threads, thread_owner::program).cpu_ns; }
    // Of that, what the calls into the stand-in libraries took (the board
    // has neither), and what is left: the program's own.
    int64_t stand_in_ns() const { return total_of(threads, thread_owner::program).stand_in_ns; }
    int64_t own_ns() const { return program_ns() - stand_in_ns(); }
    // The program's threads' calls into one library ("uio", "ndi") in the window.
    int64_t library_ns(const std::string& library) const;
};

// Throws std::runtime_error when the appliance does not run, and when
// interrupted.
pipeline_result run_pipeline(const pipeline_config& config);

// Of several runs of one configuration, the one whose own cost per picture
// is the median (the lower of the two middle ones for an even count): the
// run a benchmark shows in detail.
size_t median_run(const std::vector<pipeline_result>& runs);

// "0.123 ms" style cells.
std::string ms_cell(double ns);

// FFmpeg's SpeedHQ encoder on pictures of the run's input (the virtual
// input core's, 4:2:2, as the program gets them), at the Q the program
// last coded the full stream with: CPU nanoseconds per picture, or a
// negative value when it could not be measured.
double ffmpeg_peer_ns(const pipeline_result& result);

}   // namespace bench
