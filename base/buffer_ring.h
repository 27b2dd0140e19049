// The media paths carve their DMA buffers from rings that all wrap the same
// way: captured pictures from the raw video range, coded chunks from the
// encoder output region, audio blocks from the audio region. Buffers are
// handed out in order from a cursor; one that would pass the end of the
// range starts again at its base, one that ends exactly at the end does
// not wrap. Whether a buffer is still in use is the owner's business.
#pragma once

#include <cstdint>

// Where a buffer of `bytes` starts with the cursor at `next`. The sums are
// 64-bit: a range that ends at 4 GiB must not wrap the comparison.
constexpr uint32_t ring_place(uint32_t base, uint32_t size, uint32_t next, uint32_t bytes)
{
    return uint64_t(next) + bytes > uint64_t(base) + size ? base : next;
}

// Hands that buffer out: returns its start and moves the cursor past it.
constexpr uint32_t ring_take(uint32_t base, uint32_t size, uint32_t& next, uint32_t bytes)
{
    const uint32_t start = ring_place(base, size, next, bytes);
    next = start + bytes;
    return start;
}

static_assert(ring_place(0x1000, 0x3000, 0x3000, 0x1000) == 0x3000, "a buffer that ends at the end stays");
static_assert(ring_place(0x1000, 0x3000, 0x3001, 0x1000) == 0x1000, "one byte past the end wraps");
static_assert(ring_place(0xFFFF0000u, 0x10000, 0xFFFF8000u, 0x9000) == 0xFFFF0000u, "a range ending at 4 GiB");
