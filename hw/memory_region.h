#pragma once

#include <cstdint>

// A physical address (or an offset into the reserved memory) and a size.
struct memory_region {
    uint32_t address = 0;
    uint32_t size = 0;
};

// The regions of the reserved memory that the program uses (hw/device.h
// splits it; regions 1 and 2 stay empty).
enum reserved_region : int {
    encoder_output_region = 0,   // the encoder cores' output ring
    audio_region = 3,            // the audio input core's ring
};
