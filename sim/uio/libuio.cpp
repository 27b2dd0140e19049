// The userspace-I/O library (libuio.so.2) of the virtual board: the same C
// calls the board's library offers, answered by the virtual FPGA of this
// process (fpga::current()). SIM_CALL_COST=FILE samples what the register
// accesses cost the calling threads (call_cost.h); uio_faults.h makes
// interrupt waits fail.
//
// A call the board's library would fail or that would touch nothing there
// (a null or closed handle, a map the device does not have, an offset
// beyond its map, a register access outside ndi_regs, an interrupt call on a
// device without a line) still answers as before (0, or -1 with errno), and
// is reported as a guest error of the board, so that the tests that watch
// the guest errors fail on it.
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hw/soc.h"
#include "hw/uio.h"
#include "sim/call_cost/call_cost.h"
#include "sim/fpga/fpga.h"
#include "sim/uio/uio_faults.h"

using vfpga::fpga;

struct uio_info_t {
    std::shared_ptr<fpga> board;
    std::string name;
    char devname[32] = {};
    int irq = -1;
    unsigned long map_address = 0;
    size_t map_size = 0;
    bool open = false;
    uint32_t seen = 0;   // interrupt count this handle has read
};

namespace {

// The library hands out handles that callers never free; keep them here.
std::mutex handles_mutex;
std::vector<std::unique_ptr<uio_info_t>> handles;

// The register accesses and interrupt enables the program makes at its
// picture rate. The interrupt wait is left out: on the board it is a
// blocking read of the device, which costs the program as much.
sim::call_cost access_cost("uio");

// Interrupt waits still to fail, with what.
std::atomic<int> failing_waits{0};
std::atomic<int> failing_error{0};
std::atomic<uint64_t> wait_calls{0};

// Reports a refused call to the handle's board, or, for a handle without
// one (closed, or null), to the board of the process.
void refuse(const uio_info_t* info, const std::string& text)
{
    std::shared_ptr<fpga> board = info && info->board ? info->board : fpga::current();
    const std::string line = "libuio: " + text + (info ? " (" + info->name + ")" : "");
    if (board)
        board->report_guest_error(line);
    else
        fprintf(stderr, "%s\n", line.c_str());
}

// Whether a call may use the handle at all.
bool usable(const uio_info_t* info, const char* call)
{
    if (info && info->open)
        return true;
    refuse(info, std::string(call) + (info ? " on a closed handle" : " on a null handle"));
    return false;
}

// Whether a call names a map the device has. The map's geometry is known
// from the handle alone, before the device is opened, as the library reads
// it from sysfs; the map itself needs the device open.
bool has_map(const uio_info_t* info, int map, const char* call, bool needs_open = true)
{
    if (needs_open ? !usable(info, call) : !info) {
        if (!needs_open)
            refuse(info, std::string(call) + " on a null handle");
        return false;
    }
    if (map == 0)
        return true;
    refuse(info, std::string(call) + " of map " + std::to_string(map) + ", which the device does not have");
    return false;
}

// Whether a register access of width bytes at offset lies in the register
// window; the other devices' maps hold nothing the board models.
bool in_register_window(const uio_info_t* info, int map, unsigned long offset, unsigned width, const char* call)
{
    if (!has_map(info, map, call))
        return false;
    if (info->name != "ndi_regs") {
        refuse(info, std::string(call) + " outside the register window");
        return false;
    }
    if (offset + width > info->map_size || offset + width < offset) {
        refuse(info, std::string(call) + " at offset " + std::to_string(offset) + ", beyond the map");
        return false;
    }
    return true;
}

bool has_interrupt(const uio_info_t* info, const char* call)
{
    if (!usable(info, call))
        return false;
    if (info->irq >= 0)
        return true;
    refuse(info, std::string(call) + " on a device without an interrupt line");
    return false;
}

}   // namespace

void sim::fail_irq_waits(int count, int error)
{
    failing_error = error;
    failing_waits = count;
    wait_calls = 0;
}

uint64_t sim::irq_wait_calls()
{
    return wait_calls;
}

extern "C" {

uio_info_t* uio_find_by_uio_name(char* name)
{
    if (!name)
        return nullptr;
    std::shared_ptr<fpga> board = fpga::current();
    if (!board || !board->device_present(name))
        return nullptr;
    auto info = std::make_unique<uio_info_t>();
    info->board = board;
    info->name = name;
    int number = 0;
    for (const auto& device : soc::uio_devices) {
        if (info->name == device.name) {
            info->irq = device.core;
            break;
        }
        if (board->device_present(device.name))
            ++number;
    }
    snprintf(info->devname, sizeof info->devname, "/dev/uio%d", number);
    if (info->name == "ndi_regs") {
        info->map_address = board->config().regs_address;
        info->map_size = board->config().regs_size;
    } else {
        info->map_address = board->config().regs_address + board->config().regs_size + 0x1000ul * number;
        info->map_size = 0x1000;
    }
    std::lock_guard<std::mutex> lock(handles_mutex);
    handles.push_back(std::move(info));
    return handles.back().get();
}

int uio_open(uio_info_t* info)
{
    if (!info) {
        refuse(info, "uio_open");
        errno = EINVAL;
        return -1;
    }
    info->open = true;
    if (info->irq >= 0)
        info->seen = info->board->irq_count(info->irq);
    return 0;
}

int uio_close(uio_info_t* info)
{
    if (!usable(info, "uio_close"))
        return 0;
    info->open = false;
    info->board.reset();   // a closed device no longer keeps the board alive
    return 0;
}

char* uio_get_devname(uio_info_t* info)
{
    return info ? info->devname : nullptr;
}

int uio_get_maxmap(uio_info_t* info)
{
    return info ? 1 : 0;
}

size_t uio_get_mem_size(uio_info_t* info, int map)
{
    return has_map(info, map, "uio_get_mem_size", false) ? info->map_size : 0;
}

unsigned long uio_get_mem_addr(uio_info_t* info, int map)
{
    return has_map(info, map, "uio_get_mem_addr", false) ? info->map_address : 0;
}

size_t uio_get_offset(uio_info_t* info, int map)
{
    return uio_get_mem_addr(info, map) & size_t(sysconf(_SC_PAGESIZE) - 1);
}

int uio_read8(uio_info_t* info, int map, unsigned long offset, uint8_t* val)
{
    const sim::call_cost::sample measured(access_cost);
    *val = in_register_window(info, map, offset, 1, "uio_read8") ? info->board->read8(uint32_t(offset)) : 0;
    return 0;
}

int uio_read32(uio_info_t* info, int map, unsigned long offset, uint32_t* val)
{
    const sim::call_cost::sample measured(access_cost);
    *val = in_register_window(info, map, offset, 4, "uio_read32") ? info->board->read32(uint32_t(offset)) : 0;
    return 0;
}

int uio_write8(uio_info_t* info, int map, unsigned long offset, uint8_t val)
{
    const sim::call_cost::sample measured(access_cost);
    if (in_register_window(info, map, offset, 1, "uio_write8"))
        info->board->write8(uint32_t(offset), val);
    return 0;
}

int uio_write32(uio_info_t* info, int map, unsigned long offset, uint32_t val)
{
    const sim::call_cost::sample measured(access_cost);
    if (in_register_window(info, map, offset, 4, "uio_write32"))
        info->board->write32(uint32_t(offset), val);
    return 0;
}

int uio_enable_irq(uio_info_t* info)
{
    const sim::call_cost::sample measured(access_cost);
    if (!has_interrupt(info, "uio_enable_irq")) {
        errno = EINVAL;
        return -1;
    }
    info->board->enable_irq(info->irq);
    return 0;
}

int uio_irqwait_timeout(uio_info_t* info, uio_timeval* timeout)
{
    ++wait_calls;
    for (int left = failing_waits; left > 0;) {
        if (failing_waits.compare_exchange_weak(left, left - 1)) {
            errno = failing_error;
            return -1;
        }
    }
    if (!has_interrupt(info, "uio_irqwait_timeout")) {
        errno = EINVAL;
        return -1;
    }
    timeval limit{};
    if (timeout) {
        limit.tv_sec = time_t(timeout->tv_sec);
        limit.tv_usec = suseconds_t(timeout->tv_usec);
    }
    if (!info->board->wait_irq(info->irq, info->seen, timeout ? &limit : nullptr)) {
        errno = ETIMEDOUT;
        return -1;
    }
    return 0;
}

}   // extern "C"
