// The facts of the board outside the register map, declared once and used
// by the program and by the virtual board alike: which userspace-I/O devices
// there are and how they group, where the device tree and the memory device
// live, which platform reaches memory through the Altera bridge, and the
// raw video range a board without a video node has.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "hw/memory_region.h"
#include "hw/registers.h"

namespace soc {

// The userspace-I/O devices, in the order the program looks them up. The
// first device of a group decides whether the group is there; once it is,
// every other member is required.
enum class group { registers, input, output };

struct uio_device {
    const char* name;   // the sysfs name the device is found by
    group member_of;
    int core;   // interrupt core number (regs::irq); -1: the register window, no interrupt
};

inline constexpr std::array<uio_device, 9> uio_devices = {{
    {"ndi_regs", group::registers, -1},
    {"ndi_enc", group::input, regs::irq_encoders},
    {"vid_in", group::input, regs::irq_video_in},
    {"pvw_in", group::input, regs::irq_preview_in},
    {"aud_in", group::input, regs::irq_audio_in},
    {"vid_track", group::input, regs::irq_track},
    {"ndi_dec", group::output, regs::irq_decoder},
    {"vid_out", group::output, regs::irq_video_out},
    {"aud_out", group::output, regs::irq_audio_out},
}};
inline constexpr size_t uio_count = uio_devices.size();
inline constexpr size_t register_window = 0;   // ndi_regs: map 0 holds every core's registers
inline constexpr int core_count = 8;

// Whether the device at index opens its group.
constexpr bool leads_group(size_t index)
{
    return index == 0 || uio_devices[index - 1].member_of != uio_devices[index].member_of;
}

// The device-tree "reg" properties of the two reserved-memory nodes, and the
// device through which the program maps physical memory.
inline constexpr const char* reserved_reg_path = "/proc/device-tree/reserved-memory/Quorin_Reserved/reg";
inline constexpr const char* video_reg_path = "/proc/device-tree/reserved-memory/Quorin_Video/reg";
inline constexpr const char* memory_device = "/dev/mem";

// Without a Quorin_Video node, captured video lives in the first 512 MiB of
// physical memory.
inline constexpr memory_region default_raw{0, 0x20000000};

// The code of an identification word: its top byte.
constexpr uint8_t platform_code(uint32_t id)
{
    return uint8_t(id >> 24);
}

// Only the early Altera design reaches memory through a bridge, which sees
// the processor's memory with bit 31 set (the device_cyclone flavour).
inline constexpr uint8_t altera_code = 0x01;
inline constexpr uint32_t altera_bridge_bit = 0x80000000u;
constexpr bool behind_altera_bridge(uint32_t id)
{
    return platform_code(id) == altera_code;
}

}   // namespace soc

static_assert(soc::uio_devices[soc::register_window].member_of == soc::group::registers);
static_assert(soc::leads_group(1) && !soc::leads_group(2) && soc::leads_group(6));
static_assert(soc::behind_altera_bridge(0x01000000) && !soc::behind_altera_bridge(0x80010500));
