#include "hw/hardware.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "base/debug_log.h"
#include "base/utilities.h"
#include "hw/registers.h"
#include "hw/uio.h"

namespace {

struct uio_device_info {
    const char* name;
    const char* found_line;
};

// In lookup order; the index is hardware::uio_index.
constexpr uio_device_info uio_devices[] = {
    {"ndi_regs", "NDI Registers UIO Device: %s\n"},
    {"ndi_enc", "NDI Encode UIO Device: %s\n"},
    {"vid_in", "Video In UIO Device: %s\n"},
    {"pvw_in", "Preview UIO Device: %s\n"},
    {"aud_in", "Audio UIO Device: %s\n"},
    {"vid_track", "Tracking UIO Device: %s\n"},
    {"ndi_dec", "NDI Decode UIO Device: %s\n"},
    {"vid_out", "Video Out UIO Device: %s\n"},
    {"aud_out", "Audio Out UIO Device: %s\n"},
};

struct platform_entry {
    uint8_t code;
    const char* name;
};

constexpr platform_entry platforms[] = {
    {0x01, "Early Altera design"},  {0x02, "Early Xilinx design"},  {0x10, "Digilent Zybo-Z7-20"},
    {0x11, "Digilent Zybo-Z7-10"},  {0x12, "Xilinx ZCU104"},        {0x13, "Arrow/Terasic SoCKit"},
    {0x80, "Mirova NDI Product"},
};
constexpr uint8_t altera_code = 0x01;

constexpr const char* reserved_reg = "/proc/device-tree/reserved-memory/Quorin_Reserved/reg";
constexpr const char* video_reg = "/proc/device-tree/reserved-memory/Quorin_Video/reg";
constexpr uint32_t fill_word = 0xDEADDEAD;

}  // namespace

hardware::hardware() : reserved_map(MAP_FAILED), raw_map(MAP_FAILED)
{
    try {
        uio[ndi_regs] = find_and_open("ndi_regs");
        if (!uio[ndi_regs])
            throw std::runtime_error("Cannot find uio device ndi_regs!");
        reg_mask = uint32_t(uio_get_mem_size(uio[ndi_regs], 0)) - 1;

        find_group(ndi_enc, vid_track, 0, "input");
        find_group(ndi_dec, aud_out, 5, "output");

        if (read_reg_cells(platform_path(reserved_reg), reserved_region, 2) < 1)
            throw std::runtime_error("Cannot read Quorin_Reserved reg details from device-tree!");
        read_reg_cells(platform_path(video_reg), raw_region, 4);

        mem_fd = open(platform_path("/dev/mem").c_str(), O_RDWR | O_SYNC);
        if (mem_fd < 0)
            throw std::runtime_error("Cannot open /dev/mem!");
        map_region(reserved_region, reserved_map, "Cannot map Quorin_Reserved memory region!");
        if (raw_region.address != 0)
            map_region(raw_region, raw_map, "Cannot map Quorin_Video memory region!");

        identify_platform();
        if (platform.code == altera_code)
            platform_device = std::make_unique<device_cyclone>();
        else
            platform_device = std::make_unique<device>();
        platform_device->set_reserved(reserved_region);
        platform_device->set_raw(raw_region);
    } catch (...) {
        release();
        throw;
    }

    if (debug_enabled(3)) {
        debug_print(3, "ndi maps    : %i\n", uio_get_maxmap(uio[ndi_regs]));
        debug_print(3, "ndi map addr: 0x%08x\n", unsigned(uio_get_mem_addr(uio[ndi_regs], 0)));
        debug_print(3, "ndi map size: 0x%08x\n", unsigned(uio_get_mem_size(uio[ndi_regs], 0)));
        debug_print(3, "ndi map mask: 0x%08x\n", reg_mask);
        debug_print(3, "ndi map offs: 0x%08x\n", unsigned(uio_get_offset(uio[ndi_regs], 0)));
        debug_print(3, "rsvd memory : %p:0x%08zx\n", reserved_map, size_t(reserved_region.size));
        if (raw_region.address == 0)
            debug_print(3, "rsvd raw    : not present\n");
        else
            debug_print(3, "rsvd raw    : %p:0x%08zx\n", raw_map, size_t(raw_region.size));
        const memory_region raw = platform_device->get_raw();
        debug_print(3, "RAW memory  : 0x%08x:0x%08x\n", raw.address, raw.size);
    }

    auto* words = static_cast<uint32_t*>(reserved_map);
    for (uint32_t i = 0; i < reserved_region.size / 4; ++i)
        words[i] = fill_word;
}

hardware::~hardware()
{
    release();
}

void hardware::release()
{
    if (raw_map != MAP_FAILED)
        munmap(raw_map, raw_region.size);
    raw_map = MAP_FAILED;
    if (reserved_map != MAP_FAILED)
        munmap(reserved_map, reserved_region.size);
    reserved_map = MAP_FAILED;
    if (mem_fd >= 0)
        close(mem_fd);
    mem_fd = -1;
    for (int i = uio_count - 1; i >= 0; --i) {
        if (uio[i])
            uio_close(uio[i]);
        uio[i] = nullptr;
    }
    for (auto& line : core_irq)
        line = nullptr;
}

uio_info_t* hardware::find_and_open(const char* name)
{
    std::string mutable_name = name;   // the library takes a non-const name
    uio_info_t* info = uio_find_by_uio_name(mutable_name.data());
    if (!info)
        return nullptr;
    if (uio_open(info) != 0) {
        // A device that cannot be opened is treated as absent; the library
        // keeps nothing open for it.
        return nullptr;
    }
    for (const auto& entry : uio_devices)
        if (std::string_view(entry.name) == name)
            debug_print(3, entry.found_line, uio_get_devname(info));
    return info;
}

// Looks up one group (input or output): its first device decides whether the
// group is there at all; once it is, every other member is required.
void hardware::find_group(uio_index first, uio_index last, int first_core, const char* group)
{
    uio[first] = find_and_open(uio_devices[first].name);
    if (!uio[first]) {
        debug_print(1, "Did not find uio device %s!\n", uio_devices[first].name);
        debug_print(1, "...not looking for other %s devices.\n", group);
        return;
    }
    for (int i = first + 1; i <= last; ++i) {
        uio[i] = find_and_open(uio_devices[i].name);
        if (!uio[i])
            throw std::runtime_error(std::string("Cannot find uio device ") + uio_devices[i].name + "!");
    }
    for (int i = first; i <= last; ++i)
        core_irq[first_core + (i - first)] = uio[i];
}

void hardware::map_region(const memory_region& region, void*& map, const char* error)
{
    map = mmap(nullptr, region.size, PROT_READ | PROT_WRITE, MAP_SHARED, mem_fd, off_t(region.address));
    if (map == MAP_FAILED)
        throw std::runtime_error(error);
}

int hardware::read_reg_cells(const std::string& path, memory_region& region, int min_level)
{
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) {
        if (debug_level >= min_level)
            fprintf(debug_stream, "Could not open %s for reading!\n", path.c_str());
        return -1;
    }
    uint32_t cells[4] = {};
    const size_t count = fread(cells, sizeof cells[0], 4, file);
    if (count != 2 && count != 4) {
        debug_print(1, "Could not read %s\n", path.c_str());
        fclose(file);
        return -1;
    }
    if (count == 2)
        region = {ntohl(cells[0]), ntohl(cells[1])};
    else
        region = {ntohl(cells[1]), ntohl(cells[3])};
    if (fclose(file) != 0) {
        debug_print(1, "Error closing file %s!\n", path.c_str());
        return -1;
    }
    debug_print(3, "%s: %p:0x%08zx\n", path.c_str(), reinterpret_cast<void*>(uintptr_t(region.address)),
                size_t(region.size));
    return int(count);
}

platform_info hardware::identify(uint32_t id, uint32_t date)
{
    platform_info info;
    info.id = id;
    info.date = date;
    info.code = uint8_t(id >> 24);
    info.major = uint8_t(id >> 16);
    info.minor = uint8_t(id >> 8);
    info.patch = uint8_t(id);
    for (const auto& entry : platforms)
        if (entry.code == info.code) {
            info.name = entry.name;
            return info;
        }
    info.name = "Unknown platform";
    info.major = info.minor = info.patch = 0;
    return info;
}

void hardware::identify_platform()
{
    uint32_t id = 0;
    uint32_t date = 0;
    uio_read32(uio[ndi_regs], 0, reg_mask & regs::platform_id_offset, &id);
    uio_read32(uio[ndi_regs], 0, reg_mask & regs::date_offset, &date);
    platform = identify(id, date);
}

bool hardware::is_ready() const
{
    return uio[ndi_regs] && (uio[ndi_enc] || uio[ndi_dec]) && reserved_map != MAP_FAILED;
}

uint32_t hardware::read_reg32(uint32_t block, unsigned reg)
{
    uint32_t value = 0;
    uio_read32(uio[ndi_regs], 0, reg_offset(block, reg), &value);
    return value;
}

void hardware::write_reg32(uint32_t block, unsigned reg, uint32_t value)
{
    uio_write32(uio[ndi_regs], 0, reg_offset(block, reg), value);
}

uint8_t hardware::read_reg8(uint32_t block, unsigned reg, unsigned lane)
{
    uint8_t value = 0;
    uio_read8(uio[ndi_regs], 0, reg_offset(block, reg, lane), &value);
    return value;
}

void hardware::write_reg8(uint32_t block, unsigned reg, unsigned lane, uint8_t value)
{
    uio_write8(uio[ndi_regs], 0, reg_offset(block, reg, lane), value);
}

void hardware::enable_irq(int core)
{
    if (core >= 0 && core < 8 && core_irq[core])
        uio_enable_irq(core_irq[core]);
}

int hardware::wait_irq(int core, timeval* timeout)
{
    if (core < 0 || core >= 8 || !core_irq[core])
        return -1;
    return uio_irqwait_timeout(core_irq[core], timeout);
}

uint8_t* hardware::cpu_address(uint32_t offset) const
{
    return static_cast<uint8_t*>(reserved_map) + offset;
}

uint32_t hardware::bus_address(uint32_t offset) const
{
    const uint32_t address = reserved_region.address + offset;
    return translate_addresses ? platform_device->translate(address) : address;
}
