#include "sim/fpga/core_model.h"

#include <pthread.h>
#include <sched.h>

#include <cstdarg>
#include <cstdio>

#include "hw/registers.h"
#include "sim/fpga/fpga.h"

namespace vfpga {

core_model::core_model(fpga& on_board, std::string name, const regs::core_map& map, uint32_t block)
    : board(on_board), contract(map), model_name(std::move(name)), first_register(block), registers(map.registers, 0)
{
}

void core_model::bus_write(unsigned reg, uint32_t value, uint32_t mask)
{
    const regs::register_field* field = contract.field(reg);
    if (!field) {
        guest_error("write to unused register %u", reg);
        return;
    }
    if (field->how == regs::access::read_only) {
        guest_error("write to the read-only register %u", reg);
        return;
    }
    if (field->whole_word && mask != 0xFFFFFFFFu) {
        guest_error("%s register %u written in part (byte lanes 0x%08x)", field->name, reg, mask);
        return;
    }
    const uint32_t held = field->width >= 32 ? 0xFFFFFFFFu : (1u << field->width) - 1;
    if (value & mask & ~held) {
        guest_error("write of 0x%08x to register %u, which holds %u bits", value, reg, unsigned(field->width));
        return;
    }
    registers[reg] = (registers[reg] & ~mask) | (value & mask);
    write(reg, value, mask);
}

void core_model::reset()
{
    for (unsigned r = 0; r < registers.size(); ++r) {
        const regs::register_field* field = contract.field(r);
        registers[r] = field ? field->reset : 0;
    }
    clear_events();
}

void core_model::start_worker(std::function<void()> body)
{
    worker = std::thread(std::move(body));
    // Named apart from the program's threads, whose process it shares, so
    // that per-thread CPU figures tell the two apart.
    const std::string thread_name = ("fpga:" + model_name).substr(0, 15);
    pthread_setname_np(worker.native_handle(), thread_name.c_str());
}

void core_model::run_units()
{
    // Keeps time above the program's threads, and does the work itself at
    // the unit's own priority.
    run_at(worker_priority::timing);
    std::unique_lock<std::mutex> lock(board.mutex());
    while (!stopping) {
        const uint64_t seen = generation;
        auto woken = [&] { return stopping || generation != seen; };
        const std::optional<unit_times> unit = unit_in_hand();
        if (!unit) {
            wakeup().wait(lock, woken);
            continue;
        }
        if (unit->begin && !board.clock().wait_until(lock, wakeup(), *unit->begin, woken))
            continue;
        completion done;
        if (outside_work work = begin_unit()) {
            lock.unlock();
            run_at(unit->priority);
            done = work();
            run_at(worker_priority::timing);
            lock.lock();
            if (woken())
                continue;   // stopped, or abandoned while it worked
        }
        if (!board.clock().wait_until(lock, wakeup(), unit->end, woken))
            continue;
        end_unit(std::move(done));
    }
}

void core_model::stop_worker()
{
    if (!worker.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(board.mutex());
        stopping = true;
        wake_worker();
    }
    worker.join();
}

void core_model::update_irq()
{
    if (contract.irq >= 0)
        board.update_irq(contract.irq);
}

namespace {

std::string formatted(const char* format, va_list args)
{
    char text[256];
    vsnprintf(text, sizeof text, format, args);
    return text;
}

}   // namespace

void core_model::guest_error(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = formatted(format, args);
    va_end(args);
    board.report_guest_error(model_name + ": " + text);
}

void core_model::unimplemented(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = formatted(format, args);
    va_end(args);
    board.report_unimplemented(model_name + ": " + text);
}

uint32_t core_model::read(unsigned reg)
{
    return reg == regs::control ? control_readback(busy()) : registers[reg];
}

void core_model::write(unsigned reg, uint32_t value, uint32_t mask)
{
    if (reg != regs::control) {
        write_other(reg, value, mask);
        return;
    }
    if (writes_lane(mask, regs::lane_events) && lane(value, regs::lane_events) == regs::events_clear)
        clear_events();
    if (writes_lane(mask, regs::lane_enable))
        update_irq();
    if (!writes_lane(mask, regs::lane_command))
        return;
    const uint8_t code = lane(value, regs::lane_command);
    if (!command(code))
        guest_error("unknown command 0x%02x in register 0", code);
}

void core_model::write_other(unsigned reg, uint32_t value, uint32_t mask)
{
    unimplemented("write of 0x%08x (byte lanes 0x%08x) to register %u", value, mask, reg);
}

void core_model::raise_events()
{
    events = regs::events_mask;
    update_irq();
}

void core_model::clear_events()
{
    events = 0;
    update_irq();
}

bool core_model::events_pending() const
{
    return events & regs::events_mask;
}

bool core_model::events_pending_and_enabled() const
{
    return events_pending() && (lane(registers[regs::control], regs::lane_enable) & regs::events_enable);
}

uint32_t core_model::control_readback(bool busy) const
{
    const uint32_t state = busy ? regs::state_busy : regs::state_idle;
    return (registers[regs::control] & 0x00FFFF00u) | state | uint32_t(events) << 24;
}

void core_model::run_at(worker_priority priority)
{
    if (board.clock().kind() != model_clock::mode::realtime)
        return;
    sched_param param{};
    int policy = SCHED_FIFO;
    switch (priority) {
    case worker_priority::timing: param.sched_priority = sched_get_priority_max(SCHED_FIFO); break;
    case worker_priority::transfer: param.sched_priority = sched_get_priority_min(SCHED_FIFO); break;
    case worker_priority::work: policy = SCHED_OTHER; break;
    }
    pthread_setschedparam(pthread_self(), policy, &param);
}

}   // namespace vfpga
