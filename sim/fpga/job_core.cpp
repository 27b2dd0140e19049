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
    start_worker([this] { run_units(); });
}

void job_core::stop()
{
    stop_worker();
}

std::optional<core_model::unit_times> job_core::unit_in_hand()
{
    // A hung job never ends; it waits for a stop.
    if (!current || planned.hangs)
        return std::nullopt;
    return unit_times{std::nullopt, current->started_at + planned.length, worker_priority::work};
}

core_model::outside_work job_core::begin_unit()
{
    return std::move(planned.work);
}

void job_core::end_unit(completion done)
{
    if (done)
        done();
    current.reset();
    ++jobs_done;
    raise_events();
}

}   // namespace vfpga
