#pragma once

#include <cstdint>

// A physical address (or an offset into the reserved memory) and a size.
struct memory_region {
    uint32_t address = 0;
    uint32_t size = 0;
};
