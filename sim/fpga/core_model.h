// Base of every virtual core: a block of registers in the shared window, a
// write handler that reacts to named registers, and an interrupt line whose
// level follows the core's event bits. sim/README.md tells how a core model
// is built, driven and tested.
//
// Bus accesses arrive with the board's mutex held; so do the model's own
// worker threads whenever they touch its state. A model never calls back
// into the bus.
//
// Each worker sleeps on a condition variable of its own model, so that a
// write to one core wakes that core's worker alone: on the board a register
// store costs the program next to nothing, and it must cost next to nothing
// here too. The board wakes a worker when a command is written to its
// register 0 (lane 0), when the input changes, on every step of a stepped
// clock and when the board goes; the event lanes and the other registers
// change nothing a worker waits on.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hw/registers.h"
#include "sim/fpga/model_clock.h"

namespace vfpga {

class fpga;

class core_model {
public:
    // The core's registers are those of its kind's map (hw/registers.h),
    // from block on (the map's own block unless there are several cores).
    core_model(fpga& board, std::string name, const regs::core_map& map, uint32_t block);
    core_model(fpga& on_board, std::string name, const regs::core_map& map)
        : core_model(on_board, std::move(name), map, map.block)
    {
    }
    virtual ~core_model() = default;

    const std::string& name() const { return model_name; }
    uint32_t block() const { return first_register; }
    unsigned register_count() const { return unsigned(registers.size()); }
    int irq() const { return contract.irq; }

    // A bus write: mask selects the byte lanes written (value already shifted
    // into place). A write the map refuses (a register the core does not
    // have, a read-only one, a part of a whole-word one, bits beyond the
    // register's width) is a guest error and changes nothing; otherwise the
    // register is stored, then write() reacts.
    void bus_write(unsigned reg, uint32_t value, uint32_t mask);
    // Power-on state, as the board comes up (board mutex held, workers not
    // running or idle): the registers at the map's reset values, no events,
    // no unit or job in hand. A model with state of its own extends it.
    virtual void reset();
    // A bus read: register 0 as control_readback gives it, the others what
    // was last written.
    virtual uint32_t read(unsigned reg);

    // Level of the core's interrupt source: by default its events of the
    // shared handshake (below), pending and enabled.
    virtual bool irq_asserted() const { return events_pending_and_enabled(); }

    // The board's input signal changed (board mutex held).
    virtual void input_changed() {}

    // Starts and stops worker threads (called without the board's mutex).
    virtual void start() {}
    virtual void stop() {}

    // Wakes the worker to look at what it waits on (with or without the
    // board's mutex; the change itself was made under it).
    void wake_worker() { worker_wakeup.notify_all(); }

protected:
    // The reaction to a write, the register already stored. Register 0 is
    // the handshake every core shares: its event lanes (below), then the
    // command in lane 0, if written, goes to command(); the other registers
    // go to write_other(). A core whose register 0 means something else
    // (the tracker) overrides this.
    virtual void write(unsigned reg, uint32_t value, uint32_t mask);
    // A command written to lane 0 of register 0; false for one the core
    // does not know (a guest error).
    virtual bool command(uint8_t) { return false; }
    // A write to a register other than 0; by default unimplemented.
    virtual void write_other(unsigned reg, uint32_t value, uint32_t mask);
    // Whether a unit or job is armed or running: bits 0-1 of register 0.
    virtual bool busy() const { return false; }

    uint32_t reg(unsigned r) const { return registers[r]; }
    void set_reg(unsigned r, uint32_t value) { registers[r] = value; }
    // Re-derives the board's interrupt line after the event bits changed.
    void update_irq();
    // A register written in a way the real core would not accept: a product bug.
    void guest_error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A write the model does not model yet: never swallowed, so that a
    // program relying on it shows.
    void unimplemented(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // The event handshake of register 0 that every core shares: lane 2
    // enables the events (0xC0), lane 3 reads them and 0xC0 clears them.
    void raise_events();
    void clear_events();
    bool events_pending() const;
    bool events_pending_and_enabled() const;
    // Register 0 as read: the lanes written, the state in bits 0-1, the
    // pending events in lane 3.
    uint32_t control_readback(bool busy) const;

    // How a worker runs on a real-time board clock (with the right to it;
    // otherwise nothing changes). Hardware is never late, and a worker that
    // keeps time stands for hardware: it runs above the program's threads
    // while it holds the board's mutex or waits for its moment (a worker
    // preempted while it holds the mutex would hold up the others too).
    enum class worker_priority {
        timing,     // waiting for a moment, holding the mutex: above everything
        transfer,   // a capture core's DMA, a picture's worth of writes at most:
                    // above the machine's ordinary load, below every real-time
                    // thread of the program
        work,       // an encoder's coding, the bulk of the board's work: the
                    // machine's ordinary share
    };
    void run_at(worker_priority priority);

    // A worker thread of the model's own (pacing units, following a
    // schedule), named "fpga:" and the model's name. stop_worker sets
    // stopping under the board's mutex, wakes the worker and joins; the body
    // returns once it sees stopping.
    void start_worker(std::function<void()> body);
    // The worker of both core shapes (capture_core, job_core), which work
    // through one unit at a time: it waits for the unit's begin on the
    // board's clock, runs the unit's work outside the board's mutex, waits
    // for its end and finishes it. Any change to the units in hand (a stop,
    // a reset, a new input, an idle core given a unit) bumps generation,
    // and the worker starts over on what is in hand then.
    void run_units();
    using duration = model_clock::duration;
    // What a unit's work returns: the step that completes it, run under the
    // mutex at its end before the events rise (null: nothing to complete).
    using completion = std::function<void()>;
    using outside_work = std::function<completion()>;
    struct unit_times {
        std::optional<duration> begin;                      // board time its work starts; none: at once
        duration end{};                                     // board time it ends, never before its work is done
        worker_priority priority = worker_priority::work;   // of the work outside the mutex
    };
    // The unit to work on now (mutex held); none: nothing until the next
    // change of generation.
    virtual std::optional<unit_times> unit_in_hand() { return std::nullopt; }
    // At the unit's begin (mutex held): the work to run outside the mutex;
    // null for none.
    virtual outside_work begin_unit() { return nullptr; }
    // At the unit's end (mutex held), with what its work returned.
    virtual void end_unit(completion) {}
    uint64_t generation = 0;   // guarded by the board's mutex
    void stop_worker();
    bool stopping = false;   // guarded by the board's mutex
    // What the worker waits on, with the board's mutex.
    std::condition_variable& wakeup() { return worker_wakeup; }

    static uint8_t lane(uint32_t value, unsigned lane) { return uint8_t(value >> (8 * lane)); }
    static bool writes_lane(uint32_t mask, unsigned lane) { return (mask >> (8 * lane)) & 0xFF; }

    fpga& board;

private:
    const regs::core_map& contract;
    std::string model_name;
    uint32_t first_register;
    std::vector<uint32_t> registers;
    std::thread worker;
    std::condition_variable worker_wakeup;
    uint8_t events = 0;   // pending event bits (lane 3 of register 0)
};

}   // namespace vfpga
