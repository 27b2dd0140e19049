// The supervisor's text protocol: commands in over the -I pipe (or standard
// input), one-line replies out over the -O pipe (or standard output).
// Runs on the main thread only.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "audio/audio_capture.h"
#include "video/signal_info.h"
#include "video/video_capture.h"

struct command_reply {
    bool exit = false;      // "exit": the loop ends
    bool unknown = false;   // not a command: "unknow_command" on standard output
    std::string text;       // reply bytes (may be empty, may lack a newline)
};

// Interprets one read's worth of text. A null status stands for a path that
// was left out with -X or -x.
command_reply interpret_command(std::string_view input, const signal_info* video, const audio_config* audio);

// Serves commands until "exit" or until stop_requested() turns true. Either
// descriptor -1: console mode on standard input and output.
void do_command(const std::shared_ptr<video_capture>& video, const std::shared_ptr<audio_capture>& audio,
                int fd_pipe_in, int fd_pipe_out);

// SIGTERM and SIGINT end the command loop as "exit" does, so a service
// manager's stop runs the same orderly teardown. Call before any thread is
// made: the signals stay blocked everywhere but in the command loop's wait.
void install_stop_signals();
bool stop_requested();
