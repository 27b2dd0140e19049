#include "hw/device.h"

#include "hw/soc.h"

void device::set_reserved(memory_region region)
{
    regions[encoder_output_region] = {0, region.size - audio_region_size};
    regions[audio_region] = {region.size - audio_region_size, audio_region_size};
}

memory_region device::get_region(int index) const
{
    return regions[index & 3];
}

void device::set_raw(memory_region region)
{
    raw = region.address == 0 ? soc::default_raw : region;
}

memory_region device::get_raw() const
{
    return raw;
}

uint32_t device::translate(uint32_t address) const
{
    return address;
}

uint32_t device_cyclone::translate(uint32_t address) const
{
    return address | soc::altera_bridge_bit;
}
