// The control pipe's commands: what one read of the command pipe asks for,
// and the reply. Pure: the caller gathers the records it reads.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "app/status_snapshot.h"
#include "audio/audio_capture.h"
#include "video/signal_info.h"

// The command buffer: one read takes at most command_size - 1 bytes.
constexpr size_t command_size = 200;

struct command_reply {
    bool exit = false;      // "exit": the loop ends
    bool unknown = false;   // not a command: "unknow_command" on standard output
    std::string text;       // reply bytes (may be empty, may lack a newline)
};

// Interprets one read's worth of text (at most its first 199 bytes). A null
// signal or audio record stands for a path that was left out with -X or -x;
// status is what "status" reports.
command_reply interpret_command(std::string_view input, const signal_info* video, const audio_config* audio,
                                const status_snapshot& status = {});
