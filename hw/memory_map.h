// An owned mapping of physical memory (through /dev/mem): unmaps itself,
// moves but does not copy.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "hw/memory_region.h"

class memory_map {
public:
    memory_map() = default;
    // Maps a region of fd shared, for reading and writing, at the region's
    // address as file offset. Empty when the system refuses.
    static memory_map shared(int fd, const memory_region& region)
    {
        void* at = mmap(nullptr, region.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, off_t(region.address));
        return at == MAP_FAILED ? memory_map() : memory_map(static_cast<uint8_t*>(at), region.size);
    }

    ~memory_map() { reset(); }
    memory_map(memory_map&& other) noexcept
        : start(std::exchange(other.start, nullptr)), length(std::exchange(other.length, 0))
    {
    }
    memory_map& operator=(memory_map&& other) noexcept
    {
        if (this != &other) {
            reset();
            start = std::exchange(other.start, nullptr);
            length = std::exchange(other.length, 0);
        }
        return *this;
    }
    memory_map(const memory_map&) = delete;
    memory_map& operator=(const memory_map&) = delete;

    uint8_t* data() const { return start; }
    size_t size() const { return length; }
    explicit operator bool() const { return start != nullptr; }

private:
    memory_map(uint8_t* at, size_t bytes) : start(at), length(bytes) {}

    void reset()
    {
        if (start)
            munmap(start, length);
        start = nullptr;
        length = 0;
    }

    uint8_t* start = nullptr;
    size_t length = 0;
};
