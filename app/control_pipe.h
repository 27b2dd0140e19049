// The supervisor's text protocol: commands in over the -I pipe (or standard
// input), one-line replies out over the -O pipe (or standard output).
// Runs on the main thread only.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "app/command_interpreter.h"
#include "app/status_report.h"
#include "audio/audio_capture.h"
#include "video/video_capture.h"

// Serves commands until "exit" or a stop signal. Either descriptor -1:
// console mode on standard input and output. status names what "status"
// reads besides the two captures.
void do_command(const std::shared_ptr<video_capture>& video, const std::shared_ptr<audio_capture>& audio,
                int fd_pipe_in, int fd_pipe_out, status_report::sources_t status = {});
