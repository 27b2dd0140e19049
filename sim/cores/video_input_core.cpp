#include "sim/cores/video_input_core.h"

#include <mutex>
#include <stdexcept>

#include "hw/registers.h"
#include "sim/cores/preview_input_core.h"
#include "sim/fpga/fpga.h"

namespace vfpga {

test_pattern pattern_setting(const board_config& config)
{
    const std::string name = config.setting("pattern", "moving");
    if (const std::optional<test_pattern> pattern = parse_test_pattern(name))
        return *pattern;
    throw std::runtime_error("board.conf: pattern must be moving or bars, not " + name);
}

video_core::video_core(fpga& on_board, std::string name, const regs::core_map& map)
    : capture_core(on_board, std::move(name), map, regs::video_buffer), pattern(pattern_setting(on_board.config()))
{
}

void video_core::reset()
{
    address_written = false;
    capture_core::reset();
}

std::optional<model_clock::duration> video_core::capture_end()
{
    std::lock_guard<std::mutex> lock(board.mutex());
    const job* unit = unit_in_progress();
    if (!unit || !unit->start)
        return std::nullopt;
    return unit->end;
}

std::optional<model_clock::duration> video_core::unit_start(const job&, duration now, std::optional<duration> after)
{
    const picture_timeline* grid = timeline();
    if (!grid)
        return std::nullopt;
    return grid->next_start(now, after);
}

model_clock::duration video_core::unit_length()
{
    return timeline()->period();
}

void video_core::check_address()
{
    if (!address_written)
        guest_error("armed before a buffer address was written to register 2");
}

capture_core::transfer video_core::fill(const job& unit, duration start)
{
    const std::optional<picture_geometry> geometry = geometry_of(unit);
    if (!address_written || !geometry)
        return nullptr;   // reported at arm time
    const size_t bytes = geometry->bytes();
    if (uint64_t(unit.address) + bytes > board.config().memory_size()) {
        guest_error("buffer 0x%08x of %zu bytes lies outside memory", unit.address, bytes);
        return nullptr;
    }
    uint8_t* out = board.dma(unit.address, bytes);
    if (!out)
        return nullptr;
    const picture_timeline& grid = *timeline();
    const uint32_t number = grid.number_at(start);
    const uint8_t field = grid.input().interlaced ? uint8_t(number % 2) : 2;
    return [out, g = *geometry, number, field, kind = pattern] { render_picture(out, g, number, field, kind); };
}

void video_core::write_other(unsigned r, uint32_t value, uint32_t mask)
{
    if (r == regs::video_buffer)
        address_written = true;
    else
        capture_core::write_other(r, value, mask);
}

video_input_core::video_input_core(fpga& on_board)
    : video_core(on_board, "vid_in", regs::video_in_map), grid(on_board.input())
{
}

uint32_t video_input_core::read(unsigned r)
{
    uint32_t value = capture_core::read(r);
    if (r != regs::control)
        return value;
    constexpr uint32_t field_bit = uint32_t(regs::video_field_bit) << (8 * regs::lane_mode);
    value &= ~field_bit;
    if (!grid.input().interlaced)
        return value;
    const std::optional<duration> next = start_of_next_arm(board.clock().now());
    if (next && grid.number_at(*next) % 2 == 0)
        value |= field_bit;
    return value;
}

void video_input_core::input_changed()
{
    grid.change(board.input(), board.clock().now());
    capture_core::input_changed();
}

void video_input_core::start()
{
    preview = board.model<preview_input_core>();
    capture_core::start();
}

bool video_input_core::irq_asserted() const
{
    return events_pending_and_enabled() && !(preview && preview->owes_partner(last_completed()));
}

uint32_t video_input_core::latch_count()
{
    check_address();
    if (!layout_of_format_code(format_code()))
        guest_error("armed with unknown format code %u", format_code());
    return format_code();
}

std::optional<picture_geometry> video_input_core::geometry_of(const job& unit)
{
    const std::optional<pixel_layout> layout = layout_of_format_code(uint8_t(unit.count));
    if (!layout)
        return std::nullopt;
    return full_geometry(grid.input(), *layout);
}

}   // namespace vfpga
