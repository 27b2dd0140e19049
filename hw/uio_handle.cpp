#include "hw/uio_handle.h"

#include <string>

#include "hw/uio.h"

uio_handle uio_handle::open(const char* name)
{
    std::string mutable_name = name;   // the library takes a non-const name
    uio_info_t* found = uio_find_by_uio_name(mutable_name.data());
    if (!found || uio_open(found) != 0)
        return uio_handle();
    return uio_handle(found);
}

uio_handle::~uio_handle()
{
    close();
}

uio_handle& uio_handle::operator=(uio_handle&& other) noexcept
{
    if (this != &other) {
        close();
        info = std::exchange(other.info, nullptr);
    }
    return *this;
}

void uio_handle::close()
{
    if (info)
        uio_close(info);
    info = nullptr;
}

const char* uio_handle::devname() const
{
    return uio_get_devname(info);
}

int uio_handle::map_count() const
{
    return uio_get_maxmap(info);
}

size_t uio_handle::map_size(int map) const
{
    return uio_get_mem_size(info, map);
}

unsigned long uio_handle::map_address(int map) const
{
    return uio_get_mem_addr(info, map);
}

size_t uio_handle::map_offset(int map) const
{
    return uio_get_offset(info, map);
}

uint32_t uio_handle::read32(int map, unsigned long offset) const
{
    uint32_t value = 0;
    uio_read32(info, map, offset, &value);
    return value;
}

uint8_t uio_handle::read8(int map, unsigned long offset) const
{
    uint8_t value = 0;
    uio_read8(info, map, offset, &value);
    return value;
}

void uio_handle::write32(int map, unsigned long offset, uint32_t value) const
{
    uio_write32(info, map, offset, value);
}

void uio_handle::write8(int map, unsigned long offset, uint8_t value) const
{
    uio_write8(info, map, offset, value);
}

void uio_handle::enable_irq() const
{
    uio_enable_irq(info);
}

int uio_handle::wait_irq(timeval* timeout) const
{
    if (!timeout)
        return uio_irqwait_timeout(info, nullptr);
    // The library's record may be narrower than ours; a wait slice is well
    // within it. What is left of the time-out comes back as select leaves it.
    uio_timeval limit{decltype(limit.tv_sec)(timeout->tv_sec), decltype(limit.tv_usec)(timeout->tv_usec)};
    const int result = uio_irqwait_timeout(info, &limit);
    timeout->tv_sec = time_t(limit.tv_sec);
    timeout->tv_usec = suseconds_t(limit.tv_usec);
    return result;
}
