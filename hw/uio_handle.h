// One userspace-I/O device, found by name and opened: the program's only
// way into the userspace-I/O library (libuio.so.2). The handle closes the
// device itself; it moves but does not copy.
//
// Each call is one call of the library, so, as the library's, the register
// accesses of one handle may come from several threads at once.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <utility>

struct uio_info_t;

class uio_handle {
public:
    uio_handle() = default;
    // Finds the device by its sysfs name and opens it; an empty handle when
    // it is not there or will not open (the library then keeps nothing open).
    static uio_handle open(const char* name);

    ~uio_handle();
    uio_handle(uio_handle&& other) noexcept : info(std::exchange(other.info, nullptr)) {}
    uio_handle& operator=(uio_handle&& other) noexcept;
    uio_handle(const uio_handle&) = delete;
    uio_handle& operator=(const uio_handle&) = delete;

    explicit operator bool() const { return info != nullptr; }

    const char* devname() const;   // the device node, e.g. "/dev/uio0"
    int map_count() const;
    size_t map_size(int map) const;
    unsigned long map_address(int map) const;
    size_t map_offset(int map) const;

    uint32_t read32(int map, unsigned long offset) const;
    uint8_t read8(int map, unsigned long offset) const;
    void write32(int map, unsigned long offset, uint32_t value) const;
    void write8(int map, unsigned long offset, uint8_t value) const;

    // Re-enables the interrupt line (the driver disables it on each one).
    void enable_irq() const;
    // Waits for the interrupt; a null timeout waits without limit. Negative
    // when nothing arrived in time (errno ETIMEDOUT) or the wait failed.
    int wait_irq(timeval* timeout) const;

private:
    explicit uio_handle(uio_info_t* opened) : info(opened) {}
    void close();

    uio_info_t* info = nullptr;
};
