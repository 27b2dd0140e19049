// An owned file descriptor: closes itself, moves but does not copy. Every
// descriptor the program opens is held in one of these, so that no path
// (an exception part way through a set-up, a moved-from handle) can close
// one twice or leak one. The program opens each with close-on-exec
// (O_CLOEXEC, SOCK_CLOEXEC): nothing it holds may outlive it in a child.
#pragma once

#include <unistd.h>

#include <utility>

class file_descriptor {
public:
    file_descriptor() = default;
    // Takes ownership of fd (negative: none).
    explicit file_descriptor(int fd) : descriptor(fd) {}
    ~file_descriptor() { reset(); }
    file_descriptor(file_descriptor&& other) noexcept : descriptor(other.release()) {}
    file_descriptor& operator=(file_descriptor&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    file_descriptor(const file_descriptor&) = delete;
    file_descriptor& operator=(const file_descriptor&) = delete;

    int get() const { return descriptor; }
    explicit operator bool() const { return descriptor >= 0; }

    // Closes what is held, then holds fd (negative: none).
    void reset(int fd = -1)
    {
        const int held = std::exchange(descriptor, fd);
        if (held >= 0 && held != fd)
            close(held);
    }

    // Gives the descriptor up without closing it: the caller owns it now.
    int release() { return std::exchange(descriptor, -1); }

private:
    int descriptor = -1;
};
