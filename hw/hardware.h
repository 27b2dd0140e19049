// The one object through which the program reaches the programmable logic:
// the cores' registers and interrupts, the reserved DMA memory and the
// platform's address layout.
//
// Built once by main on the main thread; after construction (and main's
// setting of translate_addresses) every field is read-only, so any thread may
// call the register, interrupt and address operations without a lock: each
// register access is a single call into the userspace-I/O library.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <memory>
#include <string>

#include "base/file_descriptor.h"
#include "hw/device.h"
#include "hw/memory_map.h"
#include "hw/memory_region.h"
#include "hw/soc.h"
#include "hw/uio_handle.h"

struct platform_info {
    uint32_t id = 0;     // identification word
    uint32_t date = 0;   // date word
    std::string name;
    uint8_t code = 0, major = 0, minor = 0, patch = 0;
};

class hardware {
public:
    // Finds the cores, maps the reserved memory, identifies the platform.
    // Throws std::runtime_error with a fixed message on a missing required
    // core or memory region.
    hardware();
    ~hardware();
    hardware(const hardware&) = delete;
    hardware& operator=(const hardware&) = delete;

    // Registers, encoders or decoders, and the reserved memory are all there.
    bool is_ready() const;
    platform_info get_platform_info() const { return platform; }

    uint32_t read_reg32(uint32_t block, unsigned reg);
    void write_reg32(uint32_t block, unsigned reg, uint32_t value);
    uint8_t read_reg8(uint32_t block, unsigned reg, unsigned lane);
    void write_reg8(uint32_t block, unsigned reg, unsigned lane, uint8_t value);

    // Re-arms a core's interrupt line (core numbers as in regs::irq).
    void enable_irq(int core);
    // Waits for a core's interrupt; a null timeout waits without limit.
    // Negative: nothing arrived within the timeout (or the wait failed). A
    // timed wait takes its whole time when nothing arrives, even when it
    // fails early, so that a loop of waits never spins; a core this board
    // does not have never interrupts: the wait takes its whole time (none,
    // without a timeout) and fails.
    int wait_irq(int core, timeval* timeout);

    // An offset into the reserved memory as the processor sees it...
    uint8_t* cpu_address(uint32_t offset) const;
    // ...and as a core is given it.
    uint32_t bus_address(uint32_t offset) const;

    const device& get_device() const { return *platform_device; }
    memory_region get_region(int index) const { return platform_device->get_region(index); }
    memory_region get_raw() const { return platform_device->get_raw(); }

    // Reads a device-tree "reg" property of two or four big-endian cells into
    // region. Returns the number of cells, or -1. The open failure is only
    // reported when debug_level is at least min_level.
    static int read_reg_cells(const std::string& path, memory_region& region, int min_level);

    // Decodes an identification word: platform name, version bytes.
    static platform_info identify(uint32_t id, uint32_t date);

    // Register-window byte offset of a register (and byte lane).
    uint32_t reg_offset(uint32_t block, unsigned reg, unsigned lane = 0) const
    {
        return (reg_mask & ((block + reg) * 4)) + lane;
    }

    // Set by main once construction is done; every bus address handed to a
    // core passes through the device's translation from then on.
    bool translate_addresses = false;

private:
    void find_devices();
    void identify_platform();
    const uio_handle& window() const { return uio[soc::register_window]; }

    // Declared in the reverse order of release: should construction fail
    // part way, or when the object goes, the members that hold something
    // let go of it by themselves, the mappings first, then /dev/mem, then
    // the devices from aud_out back to ndi_regs.
    std::unique_ptr<device> platform_device;
    uio_handle uio[soc::uio_count];                     // by index in soc::uio_devices; empty when absent
    const uio_handle* core_irq[soc::core_count] = {};   // borrowed from uio, by core number
    file_descriptor mem;
    memory_region reserved_region;
    memory_map reserved_map;
    memory_region raw_region;
    memory_map raw_map;
    platform_info platform;
    uint32_t reg_mask = 0xFFF;
};
