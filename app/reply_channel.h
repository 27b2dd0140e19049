// Where the command loop's replies go: the -O pipe, or standard output in
// console mode. A reply is written at once or not at all: a supervisor that
// stops reading must never hold the main thread (and with it "exit" and
// the stop signals), so a reply that does not fit is dropped and counted.
//
// Replies are at most pipe_atomic_bytes long: a pipe takes such a write
// whole or refuses it, so the reader never sees half a line. The loop's
// other lines on standard output ("unknow_command") go the same way.
//
// Owned and used by the main thread alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/file_descriptor.h"

class reply_channel {
public:
    // PIPE_BUF, which POSIX guarantees to be at least 512 and Linux makes 4096.
    static constexpr size_t pipe_atomic_bytes = 4096;

    // Writes to fd from now on without waiting; the descriptor stays the
    // caller's. One opened by the program itself (the -O pipe) is switched
    // to non-blocking writes. A shared one (standard output, whose open
    // description the parent shell or service manager holds too) keeps its
    // flags: a pipe gets a non-blocking description of its own, a socket
    // non-blocking sends, and anything else is written as it is.
    reply_channel(int fd, bool shared);

    // true when the whole text was written.
    bool deliver(std::string_view text);

    // Replies (and lines) that could not be written, since construction.
    uint64_t dropped() const { return drops; }

private:
    int fd;
    file_descriptor own;   // our non-blocking description of a shared pipe
    bool socket = false;
    bool look_first = false;   // shared, and neither a pipe of our own nor a socket
    uint64_t drops = 0;
};
