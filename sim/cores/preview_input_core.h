// The preview video input core (pvw_in): the same handshake as vid_in,
// capturing the pictures of the input scaled down by the factor that its
// preview mode (lane 1 of register 0) and vid_in's format code select
// together (see preview_geometry and PIXEL_LAYOUT.md). The program never
// enables its interrupt and never waits for it.
//
// The two cores stand for one capture path: an arm of pvw_in that follows
// an arm of vid_in (the latest, still in hand and not yet followed) captures
// the same picture as that arm, whenever either was made, and vid_in's
// interrupt for that picture waits until pvw_in has written it (the level
// rule of video_input_core::irq_asserted). An arm that follows none takes
// the first picture that begins after it, as vid_in does.
//
// Guest errors: an arm before any buffer address was written, an arm with a
// preview mode other than 0 and 1 or while vid_in holds an unknown format
// code, a buffer that does not fit in the board's memory, and what the
// register map refuses (a write to a register other than 0 and 2).
// All state is guarded by the board's mutex.
#pragma once

#include "sim/cores/video_input_core.h"

namespace vfpga {

class preview_input_core : public video_core {
public:
    // Follows the picture grid and format code of the board's vid_in model,
    // which must be added first (both then live as long as the board);
    // without one the core never captures.
    explicit preview_input_core(fpga& board);

protected:
    const picture_timeline* timeline() const override;
    std::optional<picture_geometry> geometry_of(const job& unit) override;
    uint32_t latch_count() override;
    uint64_t partner_of_arm() override;
    std::optional<duration> unit_start(const job& unit, duration now, std::optional<duration> after) override;
    // vid_in's line waits on this core's units.
    void units_changed() override;

private:
    const video_input_core* video;
    uint64_t followed = 0;   // the last vid_in arm an arm of this core followed
};

}   // namespace vfpga
