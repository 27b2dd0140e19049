#include "sim/fpga/capture_core.h"

#include "hw/registers.h"
#include "sim/fpga/fpga.h"

namespace vfpga {

capture_core::capture_core(fpga& on_board, std::string name, const regs::core_map& map, unsigned buffer)
    : core_model(on_board, std::move(name), map), buffer_register(buffer)
{
}

void capture_core::reset()
{
    cancel();
    busy_reads = 0;
    core_model::reset();
}

capture_core::~capture_core()
{
    stop();
}

uint32_t capture_core::read(unsigned r)
{
    const uint32_t value = core_model::read(r);
    if (r == regs::control && busy())
        ++busy_reads;
    return value;
}

bool capture_core::command(uint8_t code)
{
    switch (code) {
    case 0: cancel(); return true;
    case regs::command_reset:
        cancel();
        clear_events();
        return true;
    case regs::command_arm: arm(); return true;
    default: return false;
    }
}

void capture_core::arm()
{
    // The core takes a further buffer only once its state has been read
    // twice while busy since the last arm; the first read of a busy state
    // leaves the buffer latch closed.
    if (busy() && busy_reads < 2)
        guest_error("armed while busy without its state read twice since the last arm (%u read%s)", busy_reads,
                    busy_reads == 1 ? "" : "s");
    busy_reads = 0;
    const duration now = board.clock().now();
    job armed;
    armed.address = reg(buffer_register);
    armed.count = latch_count();
    armed.serial = ++arms;
    armed.partner = partner_of_arm();
    // The shadow register: a unit in progress keeps going and the new
    // buffer waits behind it (the latest arm wins).
    if (current) {
        time_unit(armed, &*current, now);
        const bool replaced = pending.has_value();
        pending = armed;
        if (replaced)
            units_changed();
    } else {
        time_unit(armed, nullptr, now);
        current = armed;
        ++generation;   // the idle worker has a unit
    }
}

void capture_core::time_unit(job& unit, const job* before, duration now)
{
    unit.start.reset();
    // Behind a unit that waits for a signal, this one waits too, unless it
    // belongs to another core's arm, which times it.
    if (before && !before->start && unit.partner == 0)
        return;
    const bool behind = before && before->start;
    unit.start = unit_start(unit, now, behind ? std::optional<duration>(before->end) : std::nullopt);
    if (unit.start)
        unit.end = *unit.start + length_of(unit);
}

std::optional<model_clock::duration> capture_core::start_of_next_arm(duration now)
{
    job probe;
    time_unit(probe, current ? &*current : nullptr, now);
    return probe.start;
}

const capture_core::job* capture_core::unit_of_arm(uint64_t serial) const
{
    if (current && current->serial == serial)
        return &*current;
    if (pending && pending->serial == serial)
        return &*pending;
    return nullptr;
}

uint64_t capture_core::latest_arm() const
{
    return pending ? pending->serial : current ? current->serial : 0;
}

bool capture_core::owes_partner(uint64_t serial) const
{
    auto owes = [&](const std::optional<job>& unit) { return unit && unit->partner != 0 && unit->partner <= serial; };
    return owes(current) || owes(pending);
}

void capture_core::cancel()
{
    const bool had_units = current || pending;
    current.reset();
    pending.reset();
    ++generation;
    if (had_units)
        units_changed();
}

void capture_core::input_changed()
{
    const duration now = board.clock().now();
    if (current)
        time_unit(*current, nullptr, now);
    if (pending)
        time_unit(*pending, current ? &*current : nullptr, now);
    ++generation;
}

void capture_core::start()
{
    start_worker([this] { run_units(); });
}

void capture_core::stop()
{
    stop_worker();
}

std::optional<core_model::unit_times> capture_core::unit_in_hand()
{
    // A unit waiting for a signal waits until one re-times it.
    if (!current || !current->start)
        return std::nullopt;
    return unit_times{current->start, current->end, worker_priority::transfer};
}

core_model::outside_work capture_core::begin_unit()
{
    transfer writes = fill(*current, *current->start);
    if (!writes)
        return nullptr;
    return [writes = std::move(writes)]() -> completion {
        writes();
        return nullptr;
    };
}

void capture_core::end_unit(completion)
{
    ++units_done;
    completed_serial = current->serial;
    current = pending;
    pending.reset();
    raise_events();
    units_changed();
}

}   // namespace vfpga
