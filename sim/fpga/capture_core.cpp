#include "sim/fpga/capture_core.h"

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
    return control_readback(current || pending);
}

void capture_core::write(unsigned r, uint32_t value, uint32_t mask)
{
    if (r != regs::control) {
        write_other(r, value, mask);
        return;
    }
    const std::optional<uint8_t> command = write_control(value, mask);
    if (!command)
        return;
    switch (*command) {
    case 0:
        cancel();
        break;
    case regs::command_reset:
        cancel();
        clear_events();
        break;
    case regs::command_arm: {
        job armed{reg(buffer_register), latch_count(), board.clock().now()};
        // The shadow register: a unit in progress keeps going and the new
        // buffer waits behind it (the latest arm wins).
        if (current) {
            pending = armed;
        } else {
            current = armed;
            untimed = true;
        }
        break;
    }
    default:
        guest_error("unknown command 0x%02x in register 0", *command);
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

void capture_core::drop_unit_in_hand()
{
    if (!in_hand)
        return;
    in_hand.reset();
    wake_watcher();
}

std::optional<model_clock::duration> capture_core::unit_in_hand() const
{
    if (in_hand)
        return in_hand;
    // Armed but not yet timed by the worker: its unit ends no earlier than
    // the arm, which is all that is known until the worker has run.
    if (current && untimed)
        return current->armed_at;
    return std::nullopt;
}

void capture_core::watch(capture_core* other)
{
    if (other)
        other->watcher = this;
}

void capture_core::wake_watcher()
{
    if (watcher)
        watcher->wake_worker();
}

bool capture_core::done_by(const capture_core* other, duration end)
{
    if (!other)
        return true;
    const std::optional<duration> other_end = other->unit_in_hand();
    return !other_end || *other_end > end;
}

void capture_core::run()
{
    // Hardware is never late. A worker starved for a unit's time would end
    // the queued unit at once behind the late one; their interrupts merge
    // and the program is left a unit behind. So the worker keeps time and
    // takes the board's mutex above the program's capture threads (a worker
    // preempted while it holds the mutex would hold up the others too), but
    // writes its data at normal priority: a picture's worth of writes must
    // not keep an audio block waiting.
    keep_real_time(true);
    std::unique_lock<std::mutex> lock(board.mutex());
    std::optional<duration> previous_end;
    while (!stopping) {
        drop_unit_in_hand();
        if (!current) {
            previous_end.reset();
            wakeup().wait(lock, [&] { return stopping || current.has_value(); });
            continue;
        }
        const uint64_t seen = generation;
        auto woken = [&] { return stopping || generation != seen; };
        const duration ready = std::max(current->armed_at, restarted_at);
        const std::optional<duration> start = unit_start(ready, previous_end);
        if (untimed) {
            untimed = false;
            wake_watcher();   // it may wait to learn this unit's end
        }
        if (!start) {
            previous_end.reset();
            wakeup().wait(lock, woken);
            continue;
        }
        const duration end = *start + length_of(*current);
        in_hand = end;
        // A stop, a reset or a new input abandons the unit in progress.
        if (!board.clock().wait_until(lock, wakeup(), end, woken))
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
        wakeup().wait(lock, [&] { return woken() || may_complete(end); });
        if (woken())
            continue;
        ++units_done;
        raise_events();
        drop_unit_in_hand();
        current = pending;
        pending.reset();
        previous_end = end;
    }
}

}  // namespace vfpga
