// The handshake of a core that works through one job at a time, started by
// the program rather than paced by a signal (the encoder cores).
//
// Register 0: lane 0 takes the command (1 starts a job on the registers as
// they stand, 0 stops the core and abandons its job); lanes 2 and 3 are the
// event handshake shared by every core (0xC0 enables, 0xC0 clears). Bits 0-1
// read 1 while a job runs, 0 when idle.
//
// A start takes a copy of the registers (the job); the subclass checks it
// and returns its task. The core's worker thread runs the task's work
// outside the board's mutex, as a DMA engine works beside the bus: coding a
// picture must not hold up the bus or the other cores. The work returns the
// completion step, which the worker runs under the mutex before the events
// rise, so that a program reading the results after the interrupt finds them.
//
// Time: a job ends at its start plus the task's length on the board's clock
// (the hardware's time for it), and never before its work is done. On a
// real-time clock a job therefore takes as long as the hardware would, or
// longer on a busy machine; "fast" ends it as soon as the work is done;
// "stepped" once the test's clock reaches its end and the work is done.
//
// All state is guarded by the board's mutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/fpga/core_model.h"
#include "sim/fpga/model_clock.h"

namespace vfpga {

class job_core : public core_model {
public:
    ~job_core() override;

    void start() override;
    void stop() override;
    // Abandons the job in hand as well.
    void reset() override;

    // A job is running (board mutex held).
    bool busy() const final { return current.has_value(); }
    // Tests: jobs completed since the board was made.
    uint64_t completed() const { return jobs_done.load(); }

protected:
    struct job {
        std::vector<uint32_t> registers;   // as they stood at the start
        duration started_at{};             // board time of the start
    };
    struct task {
        std::function<completion()> work;   // outside the mutex; null: nothing to do
        duration length{};                  // the hardware's time for the job
        bool hangs = false;                 // fault injection: the job never ends
    };

    job_core(fpga& host, std::string core_name, const regs::core_map& map, uint32_t first);

    // A start (board mutex held): checks the job and says what it takes.
    virtual task begin(const job& started) = 0;
    // Writes to registers other than 0.
    void write_other(unsigned reg, uint32_t value, uint32_t mask) override = 0;

    bool command(uint8_t code) final;
    // Abandons the job in progress (a stop, a reset); its work may still be
    // running, but its completion is dropped.
    void cancel();

private:
    void begin_job();
    std::optional<unit_times> unit_in_hand() override;
    outside_work begin_unit() override;
    void end_unit(completion done) override;

    std::optional<job> current;
    task planned;
    std::atomic<uint64_t> jobs_done{0};
};

}   // namespace vfpga
