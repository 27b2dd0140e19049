#include "sim/cores/preview_input_core.h"

#include "hw/registers.h"
#include "sim/fpga/fpga.h"

namespace vfpga {

namespace {

// What an arm latches: vid_in's format code and the preview mode.
uint32_t latch(uint8_t format_code, uint8_t preview_mode)
{
    return uint32_t(format_code) << 8 | preview_mode;
}

uint8_t latched_format_code(uint32_t latched)
{
    return uint8_t(latched >> 8);
}

uint8_t latched_mode(uint32_t latched)
{
    return uint8_t(latched);
}

}   // namespace

preview_input_core::preview_input_core(fpga& on_board)
    : video_core(on_board, "pvw_in", regs::preview_in_map), video(on_board.model<video_input_core>())
{
}

const picture_timeline* preview_input_core::timeline() const
{
    return video ? &video->pictures() : nullptr;
}

uint32_t preview_input_core::latch_count()
{
    check_address();
    if (mode() > 1)
        guest_error("armed with unknown preview mode %u", mode());
    if (!video) {
        guest_error("armed on a board without vid_in, whose pictures it scales");
        return latch(0, mode());
    }
    if (!layout_of_format_code(video->format_code()))
        guest_error("armed while vid_in holds unknown format code %u", video->format_code());
    return latch(video->format_code(), mode());
}

uint64_t preview_input_core::partner_of_arm()
{
    const uint64_t latest = video ? video->latest_arm() : 0;
    if (latest == 0 || latest == followed)
        return 0;
    followed = latest;
    return latest;
}

std::optional<model_clock::duration> preview_input_core::unit_start(const job& unit, duration now,
                                                                    std::optional<duration> after)
{
    if (const job* full = unit.partner && video ? video->unit_of_arm(unit.partner) : nullptr)
        return full->start;
    return video_core::unit_start(unit, now, after);
}

void preview_input_core::units_changed()
{
    if (video)
        board.update_irq(video->irq());
}

std::optional<picture_geometry> preview_input_core::geometry_of(const job& unit)
{
    const std::optional<pixel_layout> layout = layout_of_format_code(latched_format_code(unit.count));
    if (!layout || !video)
        return std::nullopt;
    return preview_geometry(video->pictures().input(), *layout, latched_mode(unit.count));
}

}   // namespace vfpga
