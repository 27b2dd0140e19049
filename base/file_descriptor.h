// An owned file descriptor: closes itself, moves but does not copy.
#pragma once

#include <unistd.h>

#include <utility>

class file_descriptor {
public:
    file_descriptor() = default;
    // Takes ownership of fd (negative: none).
    explicit file_descriptor(int fd) : descriptor(fd) {}
    ~file_descriptor() { reset(); }
    file_descriptor(file_descriptor&& other) noexcept : descriptor(std::exchange(other.descriptor, -1)) {}
    file_descriptor& operator=(file_descriptor&& other) noexcept
    {
        if (this != &other) {
            reset();
            descriptor = std::exchange(other.descriptor, -1);
        }
        return *this;
    }
    file_descriptor(const file_descriptor&) = delete;
    file_descriptor& operator=(const file_descriptor&) = delete;

    int get() const { return descriptor; }
    explicit operator bool() const { return descriptor >= 0; }

    void reset()
    {
        if (descriptor >= 0)
            close(descriptor);
        descriptor = -1;
    }

private:
    int descriptor = -1;
};
