// The full-resolution video input core (vid_in): when armed it writes the
// next picture (or field) of the board's input signal into the buffer at the
// physical address in register 2, in the layout that the format code in
// lane 1 of register 0 selects (1: 4:2:2, 4: 4:2:0; see PIXEL_LAYOUT.md),
// paced by the input's picture rate on the board's clock, then raises its
// events and interrupt (the capture handshake of capture_core).
//
// Register 0 lane 1 reads back the format code, with bit 3 replaced by the
// field indication for interlaced input: 1 when the picture that an arm made
// now would capture (queued behind the one in progress, if any) is a first
// field. Both the format code and the buffer
// address are taken at arm time; an address written while a picture is
// being captured applies to the next one.
//
// Guest errors: an arm before any buffer address was written, an arm with
// an unknown format code, a buffer that does not fit in the board's memory,
// and what the register map refuses (a write to a register other than 0
// and 2).
//
// The picture grid and numbering (picture_timeline) are shared with the
// preview core, so that both capture the same picture at the same time, and
// so is the test pattern (the board setting "pattern": moving or bars).
// All state is guarded by the board's mutex.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "sim/cores/video_pattern.h"
#include "sim/fpga/board_config.h"
#include "sim/fpga/capture_core.h"

namespace vfpga {

// The board setting "pattern"; throws std::runtime_error on a bad one.
test_pattern pattern_setting(const board_config& config);

// What the two video input cores share: pictures paced by the input's
// grid, written by physical address (video buffers are not translated).
class video_core : public capture_core {
public:
    // Forgets the buffer address as well.
    void reset() override;

    // Tests (take the board's mutex): the board time at which the picture
    // being captured now, or awaited, will be complete; nullopt while none
    // is timed.
    std::optional<duration> capture_end();

protected:
    video_core(fpga& board, std::string name, const regs::core_map& map);

    // The input's picture grid; null when the core has none to follow.
    virtual const picture_timeline* timeline() const = 0;
    // The picture an armed unit is written as; nullopt when its arm was
    // refused (reported then).
    virtual std::optional<picture_geometry> geometry_of(const job& unit) = 0;

    std::optional<duration> unit_start(const job& unit, duration now, std::optional<duration> after) override;
    duration unit_length() final;
    transfer fill(const job& unit, duration start) override;
    void write_other(unsigned reg, uint32_t value, uint32_t mask) final;

    // Reports an arm before register 2 was ever written.
    void check_address();

private:
    const test_pattern pattern;   // board setting "pattern"
    bool address_written = false;
};

class video_input_core : public video_core {
public:
    explicit video_input_core(fpga& board);

    uint32_t read(unsigned reg) override;
    void input_changed() override;
    void start() override;
    // The program takes vid_in's interrupt for the end of the preview's
    // picture too: on the board both cores finish a picture together. So the
    // line is a level rule over both cores: vid_in's events, pending and
    // enabled, assert it only while pvw_in holds no unit that belongs to the
    // picture completed (or an earlier one) unwritten.
    bool irq_asserted() const override;

    // For the preview core (board mutex held).
    const picture_timeline& pictures() const { return grid; }
    uint8_t format_code() const { return mode(); }

protected:
    const picture_timeline* timeline() const override { return &grid; }
    std::optional<picture_geometry> geometry_of(const job& unit) override;
    uint32_t latch_count() override;

private:
    picture_timeline grid;
    const capture_core* preview = nullptr;   // pvw_in, if the board has it; set at start
};

}   // namespace vfpga
