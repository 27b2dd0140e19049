// The platform flavour: how the reserved DMA memory is split and how a
// physical address becomes the address a core is given.
#pragma once

#include <cstdint>

#include "hw/memory_region.h"

class device {
public:
    virtual ~device() = default;

    // Splits the reserved memory: encoder_output_region (0) is all but the
    // last 64 KiB, audio_region (3) the last 64 KiB.
    virtual void set_reserved(memory_region region);
    virtual memory_region get_region(int index) const;
    // The range for captured video; without a video node in the device tree,
    // the first 512 MiB of physical memory.
    virtual void set_raw(memory_region region);
    virtual memory_region get_raw() const;
    virtual uint32_t translate(uint32_t address) const;

    static constexpr uint32_t audio_region_size = 0x10000;

private:
    memory_region regions[4] = {{0, 0x07FF0000}, {0, 0}, {0, 0}, {0x07FF0000, 0x00010000}};
    memory_region raw{0, 0};
};

// The Altera bridge sees the processor's memory with bit 31 set.
class device_cyclone : public device {
public:
    uint32_t translate(uint32_t address) const override;
};
