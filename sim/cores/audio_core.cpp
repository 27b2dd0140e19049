#include "sim/cores/audio_core.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <numbers>

#include "hw/registers.h"
#include "sim/fpga/fpga.h"

namespace vfpga {

audio_core::audio_core(fpga& on_board) : capture_core(on_board, "aud_in", regs::audio_in_map, regs::audio_buffer)
{
}

void audio_core::reset()
{
    control_words.clear();
    filled_until.reset();
    next_index = 0;
    capture_core::reset();
}

int32_t audio_core::tone(unsigned channel, int64_t index)
{
    // The phase in whole samples of a second, exact however long the board runs.
    const int64_t phase = (index % sample_rate) * tone_hz[channel % channels] % sample_rate;
    return int32_t(std::lround(tone_amplitude * std::sin(2 * std::numbers::pi * double(phase) / sample_rate)));
}

int64_t audio_core::sample_index(duration t)
{
    return (t.count() * sample_rate + 500000000) / 1000000000;
}

audio_core::duration audio_core::block_length(uint32_t samples)
{
    return duration((uint64_t(samples) * 1000000000u + sample_rate / 2) / sample_rate);
}

std::vector<uint32_t> audio_core::channel_controls()
{
    std::lock_guard<std::mutex> lock(board.mutex());
    return control_words;
}

uint8_t audio_core::control_byte()
{
    std::lock_guard<std::mutex> lock(board.mutex());
    return mode();
}

std::optional<audio_core::duration> audio_core::unit_start(const job&, duration now, std::optional<duration> after)
{
    // Back to back behind the block in progress; a block armed after the
    // previous one ended starts at its arm.
    return after ? std::max(*after, now) : now;
}

audio_core::duration audio_core::unit_length()
{
    return block_length(reg(regs::audio_samples));
}

audio_core::duration audio_core::length_of(const job& unit)
{
    return block_length(unit.count);
}

uint32_t audio_core::latch_count()
{
    const uint32_t samples = reg(regs::audio_samples);
    if (samples == 0)
        guest_error("armed with a sample count of 0 in register 3");
    return samples;
}

capture_core::transfer audio_core::fill(const job& unit, duration start)
{
    if (unit.count == 0)
        return nullptr;
    const size_t bytes = size_t(unit.count) * channels * sizeof(int32_t);
    uint8_t* out = board.dma(board.bus_to_physical(unit.address), bytes);
    if (!out) {
        guest_error("block of %zu bytes at bus address 0x%08x lies outside memory", bytes, unit.address);
        return nullptr;
    }
    const int64_t first = (filled_until && start == *filled_until) ? next_index : sample_index(start);
    filled_until = start + length_of(unit);
    next_index = first + unit.count;
    return [out, first, count = unit.count] {
        uint8_t* at = out;
        for (uint32_t i = 0; i < count; ++i) {
            for (unsigned c = 0; c < channels; ++c) {
                const int32_t sample = tone(c, first + i);
                std::memcpy(at, &sample, sizeof sample);   // the buffer need not be aligned
                at += sizeof sample;
            }
        }
    };
}

void audio_core::write_other(unsigned r, uint32_t value, uint32_t mask)
{
    switch (r) {
    case regs::audio_channel_control:
        if (control_words.size() < control_log_limit)
            control_words.push_back(reg(r));
        return;
    case regs::audio_buffer:
    case regs::audio_samples: return;   // latched at the arm
    default: core_model::write_other(r, value, mask);
    }
}

}   // namespace vfpga
