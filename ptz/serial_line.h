// The seam to the serial line: the only file that speaks termios. A
// serial_line owns its descriptor and closes it when it goes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "base/file_descriptor.h"

class serial_line {
public:
    explicit serial_line(file_descriptor fd) : descriptor(std::move(fd)) {}

    int fd() const { return descriptor.get(); }

    // One write call, then waits until the line has sent it, but never
    // longer than max_drain: a stuck UART must not hold every writer and
    // the teardown behind the serial lock. Returns the write's result.
    static constexpr std::chrono::milliseconds max_drain{50};
    ssize_t write_drained(const uint8_t* data, size_t n);

    // What has arrived, up to n bytes, without waiting: the byte count, 0
    // when nothing has, -1 when the line has failed or hung up.
    ssize_t read_some(uint8_t* data, size_t n);

private:
    file_descriptor descriptor;
};

// Opens the camera's line at path (the board's /dev/ttyS1) raw, 115200 baud
// 8N1 without flow control, non-blocking; the open itself does not wait for
// the carrier of a line whose modem lines say it is down. Throws std::runtime_error
// "Cannot open UART /dev/ttyS1!" or "Error while UART setup!".
serial_line open_uart(const char* path);
