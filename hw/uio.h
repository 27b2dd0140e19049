// The subset of the userspace-I/O library (libuio.so.2) that the program
// calls, declared with the public library's C signatures. On the board the
// system's library answers these; on a development machine the virtual
// board's stand-in does. Only hw/uio_handle.cpp includes this header.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

struct uio_info_t;

// The interrupt wait's time-out: the C library's struct timeval as the
// board's libuio.so.2 was built with it. The program itself counts time in
// 64 bits on every target, so that its clocks pass 2038; a 32-bit board's
// library built the classic way keeps a 32-bit long for both fields, so the
// record is declared with the library's widths rather than taken from
// <sys/time.h>. A board whose libuio was built with 64-bit time sets
// NDI_ENCODER_UIO_TIME64 (the build's NDI_ENCODER_UIO_TIME_BITS=64).
struct uio_timeval {
#ifdef NDI_ENCODER_UIO_TIME64
    int64_t tv_sec;
    int64_t tv_usec;
#else
    long tv_sec;
    long tv_usec;
#endif
};

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
int uio_irqwait_timeout(struct uio_info_t* info, struct uio_timeval* timeout);
}

// The time-out record has the board library's widths: 64-bit fields on a
// 64-bit board or where its library was built with 64-bit time, 32-bit
// ones on a 32-bit board's classic library.
#if UINTPTR_MAX == UINT64_MAX || defined(NDI_ENCODER_UIO_TIME64)
static_assert(sizeof(uio_timeval) == 16 && offsetof(uio_timeval, tv_usec) == 8);
#else
static_assert(sizeof(uio_timeval) == 8 && offsetof(uio_timeval, tv_usec) == 4);
#endif
// Register offsets and physical addresses are unsigned longs and map sizes
// size_t: the width of the target's pointers.
static_assert(sizeof(unsigned long) == sizeof(void*) && sizeof(size_t) == sizeof(void*));
