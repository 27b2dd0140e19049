#include "ptz/serial_line.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <stdexcept>

ssize_t serial_line::write_drained(const uint8_t* data, size_t n)
{
    const ssize_t written = write(fd(), data, n);
    // tcdrain would wait without end for a transmitter that never empties:
    // ask the line whether it has, a little at a time. A line that cannot
    // tell (a pseudo-terminal has no transmitter) has nothing to wait for.
    const auto until = std::chrono::steady_clock::now() + max_drain;
    for (;;) {
        int status = 0;
        if (ioctl(fd(), TIOCSERGETLSR, &status) != 0 || (status & TIOCSER_TEMT) ||
            std::chrono::steady_clock::now() >= until)
            break;
        const timespec step{0, 200000};   // about two characters' time at 115200 baud
        nanosleep(&step, nullptr);
    }
    return written;
}

ssize_t serial_line::read_some(uint8_t* data, size_t n)
{
    const ssize_t got = read(fd(), data, n);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    return got > 0 ? got : -1;
}

serial_line open_uart(const char* path)
{
    serial_line line(file_descriptor(open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)));
    if (line.fd() < 0)
        throw std::runtime_error("Cannot open UART /dev/ttyS1!");

    termios settings{};
    settings.c_cflag = CS8 | CREAD | CLOCAL;   // 8N1, receiver on, no modem lines, no flow control
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (tcsetattr(line.fd(), TCSANOW, &settings) != 0)
        throw std::runtime_error("Error while UART setup!");

    tcflush(line.fd(), TCIOFLUSH);
    fcntl(line.fd(), F_SETFL, fcntl(line.fd(), F_GETFL) | O_NONBLOCK);
    return line;
}
