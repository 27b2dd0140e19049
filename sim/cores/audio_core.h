// The audio input core (aud_in): when armed it fills the buffer in register 2
// with the number of samples per channel latched from register 3, as
// interleaved signed 32-bit stereo at 48 kHz, paced by the board's clock, then
// raises its events and interrupt (the capture handshake of capture_core).
//
// What it records is a test signal, so that a listener or a test can hear or
// measure every gap and repeat: channel 0 carries a 1 kHz sine and channel 1
// a 440 Hz sine, both at -20 dBFS, whose phase follows the board's clock.
// Blocks that run back to back continue each other exactly.
//
// Registers 1 (per-channel control words) and lane 1 of register 0 (the
// control byte) change nothing in the signal; they are kept for tests.
// All state is guarded by the board's mutex.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/fpga/capture_core.h"

namespace vfpga {

class audio_core : public capture_core {
public:
    static constexpr unsigned channels = 2;
    static constexpr int64_t sample_rate = 48000;
    static constexpr uint32_t tone_hz[channels] = {1000, 440};
    static constexpr double tone_amplitude = 0.1 * 2147483647.0;   // -20 dBFS

    explicit audio_core(fpga& board);

    // The signal itself, apart from any bus: sample index counts samples per
    // channel since the board was made.
    static int32_t tone(unsigned channel, int64_t index);
    static int64_t sample_index(duration t);
    static duration block_length(uint32_t samples);

    // Forgets the control words and where the last block ended as well.
    void reset() override;

    // The audio input has nothing to do with the video signal.
    void input_changed() override {}

    // Tests (take the board's mutex): every word written to register 1, in
    // order, and the control byte as last written.
    std::vector<uint32_t> channel_controls();
    uint8_t control_byte();

protected:
    std::optional<duration> unit_start(const job& unit, duration now, std::optional<duration> after) override;
    duration unit_length() override;
    duration length_of(const job& unit) override;
    uint32_t latch_count() override;
    transfer fill(const job& unit, duration start) override;
    void write_other(unsigned reg, uint32_t value, uint32_t mask) override;

private:
    static constexpr size_t control_log_limit = 1024;

    std::vector<uint32_t> control_words;
    // Where the last filled block ended, and the sample index there, so that
    // the block queued behind it continues without a seam.
    std::optional<duration> filled_until;
    int64_t next_index = 0;
};

}   // namespace vfpga
