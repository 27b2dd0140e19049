// The supervisor's text protocol: commands in over the -I pipe (or standard
// input), one-line replies out over the -O pipe (or standard output).
// Runs on the main thread only.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "app/status_report.h"
#include "audio/audio_capture.h"
#include "video/signal_info.h"
#include "video/video_capture.h"

struct command_reply {
    bool exit = false;      // "exit": the loop ends
    bool unknown = false;   // not a command: "unknow_command" on standard output
    std::string text;       // reply bytes (may be empty, may lack a newline)
};

// Interprets one read's worth of text. A null signal or audio record stands
// for a path that was left out with -X or -x; status is what "status"
// reports.
command_reply interpret_command(std::string_view input, const signal_info* video, const audio_config* audio,
                                const status_report::snapshot_t& status = {});

// Serves commands until "exit" or a stop signal. Either descriptor -1:
// console mode on standard input and output. status names what "status"
// reads besides the two captures.
void do_command(const std::shared_ptr<video_capture>& video, const std::shared_ptr<audio_capture>& audio,
                int fd_pipe_in, int fd_pipe_out, status_report::sources_t status = {});
