#include "sim/fpga/job_core.h"

#include "hw/registers.h"
#include "sim/fpga/fpga.h"

namespace vfpga {

job_core::job_core(fpga& host, std::string core_name, const regs::core_map& map, uint32_t first)
    : core_model(host, std::move(core_name), map, first)
{
}

void job_core::reset()
{
    cancel();
    core_model::reset();
}

job_core::~job_core()
{
    stop();
}

bool job_core::command(uint8_t code)
{
    switch (code) {
    case 0: cancel(); return true;
    case regs::command_arm: begin_job(); return true;
    default: return false;
    }
}

void job_core::begin_job()
{
    if (current) {
        // A hung core (fault injection) ignores starts, as hardware that has
        // locked up would; otherwise this is a program fault.
        if (!planned.hangs)
            guest_error("started while still coding the previous job");
        return;
    }
    job started{std::vector<uint32_t>(register_count()), board.clock().now()};
    for (unsigned i = 0; i < register_count(); ++i)
        started.registers[i] = reg(i);
    planned = begin(started);
    current = std::move(started);
    ++generation;
    update_irq();   // a busy core holds back a shared line
}

void job_core::cancel()
{
    if (!current)
        return;
    current.reset();
    planned = task{};
    ++generation;
    update_irq();
}

void job_core::start()
{
    start_worker([this] { run(); });
}

void job_core::stop()
{
    stop_worker();
}

void job_core::run()
{
    // Like the capture cores, the worker keeps time above the program's
    // threads, and does the work itself at normal priority.
    run_at(worker_priority::timing);
    std::unique_lock<std::mutex> lock(board.mutex());
    while (!stopping) {
        if (!current) {
            wakeup().wait(lock, [&] { return stopping || current.has_value(); });
            continue;
        }
        const uint64_t seen = generation;
        auto woken = [&] { return stopping || generation != seen; };
        if (planned.hangs) {
            wakeup().wait(lock, woken);
            continue;
        }
        const duration end = current->started_at + planned.length;
        completion done;
        if (auto work = std::move(planned.work)) {
            lock.unlock();
            run_at(worker_priority::work);
            done = work();
            run_at(worker_priority::timing);
            lock.lock();
            if (woken())
                continue;   // stopped, or abandoned while it worked
        }
        if (!board.clock().wait_until(lock, wakeup(), end, woken))
            continue;
        if (done)
            done();
        current.reset();
        ++jobs_done;
        raise_events();
    }
}

}   // namespace vfpga
