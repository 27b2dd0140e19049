#include "sim/fpga/capture_core.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>

#include "hw/registers.h"
#include "sim/fpga/fpga.h"

namespace vfpga {

capture_core::capture_core(fpga& on_board, std::string name, uint32_t block, unsigned register_count, int irq,
                           unsigned buffer)
    : core_model(on_board, std::move(name), block, register_count, irq), buffer_register(buffer)
{
}

capture_core::~capture_core()
{
    stop();
}

uint32_t capture_core::read(unsigned r)
{
    if (r != regs::control)
        return reg(r);
    const uint32_t state = (current || pending) ? regs::state_busy : regs::state_idle;
    return (reg(0) & 0x00FFFF00u) | state | uint32_t(events) << 24;
}

bool capture_core::irq_asserted() const
{
    return (events & regs::events_mask) && (lane(reg(0), regs::lane_enable) & regs::events_enable);
}

void capture_core::write(unsigned r, uint32_t value, uint32_t mask)
{
    if (r != regs::control) {
        write_other(r, value, mask);
        return;
    }
    if (writes_lane(mask, regs::lane_events) && lane(value, regs::lane_events) == regs::events_clear) {
        events = 0;
        update_irq();
    }
    if (writes_lane(mask, regs::lane_enable))
        update_irq();
    if (!writes_lane(mask, regs::lane_command))
        return;
    switch (lane(value, regs::lane_command)) {
    case 0:
        cancel();
        break;
    case regs::command_reset:
        cancel();
        events = 0;
        update_irq();
        break;
    case regs::command_arm: {
        job armed{reg(buffer_register), latch_count(), board.clock().now()};
        // The shadow register: a unit in progress keeps going and the new
        // buffer waits behind it (the latest arm wins).
        if (current)
            pending = armed;
        else
            current = armed;
        break;
    }
    default:
        guest_error("unknown command 0x%02x in register 0", lane(value, regs::lane_command));
    }
}

void capture_core::write_other(unsigned, uint32_t, uint32_t) {}

void capture_core::cancel()
{
    current.reset();
    pending.reset();
    ++generation;
    restarted_at = board.clock().now();
}

void capture_core::input_changed()
{
    ++generation;
    restarted_at = board.clock().now();
}

void capture_core::start()
{
    start_worker([this] { run(); });
}

void capture_core::stop()
{
    stop_worker();
}

void capture_core::keep_real_time(bool on)
{
    // Hardware is never late. A worker starved for a unit's time would end
    // the queued unit at once behind the late one; their interrupts merge
    // and the program is left a unit behind. So the worker keeps time and
    // takes the board's mutex above the program's capture threads (a worker
    // preempted while it holds the mutex would hold up the others too), but
    // writes its data at normal priority: a picture's worth of writes must
    // not keep an audio block waiting. Without the right to it (not root)
    // it runs as it is.
    if (board.clock().kind() != model_clock::mode::realtime)
        return;
    sched_param param{};
    param.sched_priority = on ? sched_get_priority_max(SCHED_FIFO) : 0;
    pthread_setschedparam(pthread_self(), on ? SCHED_FIFO : SCHED_OTHER, &param);
}

void capture_core::run()
{
    keep_real_time(true);
    std::unique_lock<std::mutex> lock(board.mutex());
    std::optional<duration> previous_end;
    while (!stopping) {
        if (!current) {
            previous_end.reset();
            board.changed().wait(lock, [&] { return stopping || current.has_value(); });
            continue;
        }
        const uint64_t seen = generation;
        auto woken = [&] { return stopping || generation != seen; };
        const duration ready = std::max(current->armed_at, restarted_at);
        const std::optional<duration> start = unit_start(ready, previous_end);
        if (!start) {
            previous_end.reset();
            board.changed().wait(lock, woken);
            continue;
        }
        const duration end = *start + length_of(*current);
        // A stop, a reset or a new input abandons the unit in progress.
        if (!board.clock().wait_until(lock, board.changed(), end, woken))
            continue;
        if (const transfer writes = fill(*current, *start)) {
            lock.unlock();
            keep_real_time(false);
            writes();
            keep_real_time(true);
            lock.lock();
            // Stopped, reset or re-timed while the data went out: no event.
            if (stopping || generation != seen)
                continue;
        }
        ++units_done;
        events = regs::events_mask;
        update_irq();
        current = pending;
        pending.reset();
        previous_end = end;
    }
}

}  // namespace vfpga
