// The subset of the userspace-I/O library (libuio.so.2) that the program
// calls, declared with the public library's C signatures. On the board the
// system's library answers these; on a development machine the virtual
// board's stand-in does. Only hw/uio_handle.cpp includes this header.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>

extern "C" {

struct uio_info_t;

struct uio_info_t* uio_find_by_uio_name(char* name);
int uio_open(struct uio_info_t* info);
int uio_close(struct uio_info_t* info);
char* uio_get_devname(struct uio_info_t* info);
int uio_get_maxmap(struct uio_info_t* info);
size_t uio_get_mem_size(struct uio_info_t* info, int map);
unsigned long uio_get_mem_addr(struct uio_info_t* info, int map);
size_t uio_get_offset(struct uio_info_t* info, int map);
int uio_read8(struct uio_info_t* info, int map, unsigned long offset, uint8_t* val);
int uio_read32(struct uio_info_t* info, int map, unsigned long offset, uint32_t* val);
int uio_write8(struct uio_info_t* info, int map, unsigned long offset, uint8_t val);
int uio_write32(struct uio_info_t* info, int map, unsigned long offset, uint32_t val);
int uio_enable_irq(struct uio_info_t* info);
int uio_irqwait_timeout(struct uio_info_t* info, struct timeval* timeout);

}
