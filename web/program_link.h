// The daemon's ends of the program's control pipes (-I: commands in, -O:
// replies out). The daemon makes the FIFOs when they are missing, keeps a
// read end of the reply pipe open at all times (so the program's start-up
// never waits for it long) and writes commands without ever waiting: the
// program must never be held by its supervisor, nor the supervisor by the
// program.
//
// A program that goes (the command pipe has no reader, or "status" is not
// answered) is looked for again every tick; a new one is talked to as soon
// as it opens its end. The process ignores SIGPIPE: a write to a program
// that has gone fails with EPIPE. Owned by the daemon's main thread.
#pragma once

#include <string>
#include <vector>

#include "base/file_descriptor.h"

class program_link {
public:
    // Makes the FIFOs (and their folder) when missing; throws when a path
    // is there but is no FIFO.
    program_link(std::string command_path, std::string reply_path);

    // Readable when a reply has come.
    int reply_descriptor() const { return reply_read.get(); }

    // Sends "status", opening the command pipe first when the program has
    // not been reached yet. false when there is no program to send to.
    bool ask_status(double now);

    // Reads what is there; returns the complete lines.
    std::vector<std::string> read_replies(double now);

    // The program answered within the last few seconds.
    bool answering(double now) const;
    bool command_pipe_open() const { return bool(command_write); }

private:
    static constexpr double answer_within = 3.0;
    static constexpr size_t longest_line = 8192;

    std::string command_path, reply_path;
    file_descriptor command_write;
    file_descriptor reply_read;
    file_descriptor reply_keeper;   // our own writer: the read end never sees end of file
    std::string partial;
    double last_answer = -1e9;
    double asked_since = -1;   // first unanswered "status" since the last answer
};
