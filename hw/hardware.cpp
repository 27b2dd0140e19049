#include "hw/hardware.h"

#include <arpa/inet.h>
#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>

#include "base/debug_log.h"
#include "base/utilities.h"
#include "hw/registers.h"

namespace {

// The discovery line of each device, by index in soc::uio_devices.
constexpr const char* found_lines[] = {
    "NDI Registers UIO Device: %s\n", "NDI Encode UIO Device: %s\n", "Video In UIO Device: %s\n",
    "Preview UIO Device: %s\n",       "Audio UIO Device: %s\n",      "Tracking UIO Device: %s\n",
    "NDI Decode UIO Device: %s\n",    "Video Out UIO Device: %s\n",  "Audio Out UIO Device: %s\n",
};
static_assert(std::size(found_lines) == soc::uio_count);

const char* group_name(soc::group g)
{
    return g == soc::group::input ? "input" : "output";
}

struct platform_entry {
    uint8_t code;
    const char* name;
};

constexpr platform_entry platforms[] = {
    {0x01, "Early Altera design"}, {0x02, "Early Xilinx design"}, {0x10, "Digilent Zybo-Z7-20"},
    {0x11, "Digilent Zybo-Z7-10"}, {0x12, "Xilinx ZCU104"},       {0x13, "Arrow/Terasic SoCKit"},
    {0x80, "Mirova NDI Product"},
};

constexpr uint32_t fill_word = 0xDEADDEAD;

}   // namespace

hardware::hardware()
{
    find_devices();

    if (read_reg_cells(platform_path(soc::reserved_reg_path), reserved_region, 2) < 1)
        throw std::runtime_error("Cannot read Quorin_Reserved reg details from device-tree!");
    read_reg_cells(platform_path(soc::video_reg_path), raw_region, 4);

    mem = file_descriptor(open(platform_path(soc::memory_device).c_str(), O_RDWR | O_SYNC | O_CLOEXEC));
    if (!mem)
        throw std::runtime_error("Cannot open /dev/mem!");
    reserved_map = memory_map::shared(mem.get(), reserved_region);
    if (!reserved_map)
        throw std::runtime_error("Cannot map Quorin_Reserved memory region!");
    if (raw_region.address != 0) {
        raw_map = memory_map::shared(mem.get(), raw_region);
        if (!raw_map)
            throw std::runtime_error("Cannot map Quorin_Video memory region!");
    }

    identify_platform();
    if (soc::behind_altera_bridge(platform.id))
        platform_device = std::make_unique<device_cyclone>();
    else
        platform_device = std::make_unique<device>();
    platform_device->set_reserved(reserved_region);
    platform_device->set_raw(raw_region);

    if (debug_enabled(3)) {
        debug_print(3, "ndi maps    : %i\n", window().map_count());
        debug_print(3, "ndi map addr: 0x%08x\n", unsigned(window().map_address(0)));
        debug_print(3, "ndi map size: 0x%08x\n", unsigned(window().map_size(0)));
        debug_print(3, "ndi map mask: 0x%08x\n", reg_mask);
        debug_print(3, "ndi map offs: 0x%08x\n", unsigned(window().map_offset(0)));
        debug_print(3, "rsvd memory : %p:0x%08zx\n", static_cast<void*>(reserved_map.data()),
                    size_t(reserved_region.size));
        if (raw_region.address == 0)
            debug_print(3, "rsvd raw    : not present\n");
        else
            debug_print(3, "rsvd raw    : %p:0x%08zx\n", static_cast<void*>(raw_map.data()), size_t(raw_region.size));
        const memory_region raw = platform_device->get_raw();
        debug_print(3, "RAW memory  : 0x%08x:0x%08x\n", raw.address, raw.size);
    }

    auto* words = reinterpret_cast<uint32_t*>(reserved_map.data());
    for (uint32_t i = 0; i < reserved_region.size / 4; ++i)
        words[i] = fill_word;
}

hardware::~hardware() = default;

// The register window is required. Of each other group the first device
// decides whether the group is there at all; once it is, every other member
// is required, and the group's interrupts are wired only when all are open.
void hardware::find_devices()
{
    bool group_present = false;
    for (size_t i = 0; i < soc::uio_count; ++i) {
        const soc::uio_device& wanted = soc::uio_devices[i];
        const bool leads = soc::leads_group(i);
        if (!leads && !group_present)
            continue;
        uio[i] = uio_handle::open(wanted.name);
        if (uio[i]) {
            debug_print(3, found_lines[i], uio[i].devname());
        } else if (!leads || wanted.member_of == soc::group::registers) {
            throw std::runtime_error(std::string("Cannot find uio device ") + wanted.name + "!");
        } else {
            debug_print(1, "Did not find uio device %s!\n", wanted.name);
            debug_print(1, "...not looking for other %s devices.\n", group_name(wanted.member_of));
        }
        if (leads)
            group_present = bool(uio[i]);
    }
    for (size_t i = 0; i < soc::uio_count; ++i)
        if (soc::uio_devices[i].core >= 0 && uio[i])
            core_irq[soc::uio_devices[i].core] = &uio[i];
    reg_mask = uint32_t(window().map_size(0)) - 1;
}

int hardware::read_reg_cells(const std::string& path, memory_region& region, int min_level)
{
    FILE* file = fopen(path.c_str(), "rbe");   // e: close-on-exec
    if (!file) {
        // Written from min_level on: the log's gate is "above the threshold".
        debug_print(min_level - 1, "Could not open %s for reading!\n", path.c_str());
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
    info.code = soc::platform_code(id);
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
    const uint32_t id = window().read32(0, reg_mask & regs::platform_id_offset);
    const uint32_t date = window().read32(0, reg_mask & regs::date_offset);
    platform = identify(id, date);
}

bool hardware::is_ready() const
{
    bool cores = false;   // the encoders' group or the decoders'
    for (size_t i = soc::register_window + 1; i < soc::uio_count; ++i)
        cores = cores || (soc::leads_group(i) && uio[i]);
    return window() && cores && reserved_map;
}

uint32_t hardware::read_reg32(uint32_t block, unsigned reg)
{
    return window().read32(0, reg_offset(block, reg));
}

void hardware::write_reg32(uint32_t block, unsigned reg, uint32_t value)
{
    window().write32(0, reg_offset(block, reg), value);
}

uint8_t hardware::read_reg8(uint32_t block, unsigned reg, unsigned lane)
{
    return window().read8(0, reg_offset(block, reg, lane));
}

void hardware::write_reg8(uint32_t block, unsigned reg, unsigned lane, uint8_t value)
{
    window().write8(0, reg_offset(block, reg, lane), value);
}

void hardware::enable_irq(int core)
{
    if (core >= 0 && core < soc::core_count && core_irq[core])
        core_irq[core]->enable_irq();
}

int hardware::wait_irq(int core, timeval* timeout)
{
    if (core >= 0 && core < soc::core_count && core_irq[core]) {
        if (!timeout)
            return core_irq[core]->wait_irq(nullptr);
        // A wait that fails before its time (a driver error, not a
        // time-out) sleeps out the rest of it, as the wait for a silent
        // core would have taken it: the real-time threads retry their waits,
        // and must not spin at the top priority. A signal only cuts the
        // wait short: it goes on for the rest.
        using clock = std::chrono::steady_clock;
        const clock::time_point limit =
            clock::now() + std::chrono::seconds(timeout->tv_sec) + std::chrono::microseconds(timeout->tv_usec);
        timeval rest = *timeout;
        for (;;) {
            const int result = core_irq[core]->wait_irq(&rest);
            if (result >= 0)
                return result;
            const int error = errno;
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(limit - clock::now());
            if (left.count() > 0 && error == EINTR) {
                rest = {time_t(left.count() / 1000000), suseconds_t(left.count() % 1000000)};
                continue;
            }
            if (left.count() > 0)
                std::this_thread::sleep_for(left);
            errno = error;
            return result;
        }
    }
    // Waiting out the time, as the driver does for a core that stays
    // silent, keeps every caller's loop of timed waits a loop of sleeps
    // rather than a spin at real-time priority. Without a timeout there is
    // nothing that could end the wait, so it fails at once.
    if (timeout)
        std::this_thread::sleep_for(std::chrono::seconds(timeout->tv_sec) +
                                    std::chrono::microseconds(timeout->tv_usec));
    errno = ETIMEDOUT;
    return -1;
}

uint8_t* hardware::cpu_address(uint32_t offset) const
{
    return reserved_map.data() + offset;
}

uint32_t hardware::bus_address(uint32_t offset) const
{
    const uint32_t address = reserved_region.address + offset;
    return translate_addresses ? platform_device->translate(address) : address;
}
