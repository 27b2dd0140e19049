// The handshake shared by the capture cores (video, preview, audio).
//
// Register 0: lane 0 takes the command (1 arms the core for the buffer in
// the buffer register, 0x80 resets it, a word write of 0 stops it); lane 1 a
// mode byte; lane 2 enables the events (0xC0); lane 3 reads the pending event
// bits and clears them when 0xC0 is written. Bits 0-1 read the state: 1 while
// a unit (picture, field or audio block) is armed or being filled, 0 idle.
//
// Arming latches the buffer: while a unit is being filled, a second arm
// queues the next buffer, which starts when the current unit ends, so the
// product can keep one buffer in progress and one queued (a third arm
// replaces the queued one).
//
// A busy core opens its buffer latch to a further arm only once register 0
// has been read twice in the busy state since the last arm: the program
// reads the state, and reads it once more when it finds the core busy. An
// arm of a busy core without those reads is a guest error (the arm is still
// taken, so that one fault does not hide the next).
//
// What a unit captures is settled by the board's clock at the arm, never by
// how far the core's worker thread has got: the arm's board time and the end
// of the unit it queues behind give the unit's start (unit_start), and a
// change of the input re-times the units in hand. On a loaded machine a
// worker may run late, but the picture or block it writes is the one the
// hardware would have written.
//
// The worker paces the units by the board's clock: at a unit's start it has
// the subclass fill the buffer by DMA (outside the board's mutex, as a DMA
// engine writes beside the bus: a picture's worth of writes must not hold up
// the other cores), and once the unit has ended and its data is written it
// raises the events and the interrupt.
//
// All state is guarded by the board's mutex.
#pragma once

#include <atomic>
#include <functional>
#include <optional>

#include "sim/fpga/core_model.h"
#include "sim/fpga/model_clock.h"

namespace vfpga {

class capture_core : public core_model {
public:
    capture_core(fpga& board, std::string name, const regs::core_map& map, unsigned buffer_register);
    ~capture_core() override;

    // Abandons the units in hand and forgets the state reads as well.
    void reset() override;

    uint32_t read(unsigned reg) override;
    // Re-times the units in hand on the new input.
    void input_changed() override;
    void start() override;
    void stop() override;

    // Tests: units completed since the board was made.
    uint64_t completed() const { return units_done.load(); }

    // One armed unit.
    struct job {
        uint32_t address = 0;            // bus address latched at arm time
        uint32_t count = 0;              // a second latched register (e.g. samples), if any
        uint64_t serial = 0;             // this core's arms since the board was made, from 1
        uint64_t partner = 0;            // another core's arm whose unit this one belongs to (0: none)
        std::optional<duration> start;   // board time it begins; nullopt while nothing can be captured
        duration end{};                  // board time it ends, once it has a start
    };

    // The unit of arm serial that this core still has in hand (armed and not
    // completed), or null. Board mutex held.
    const job* unit_of_arm(uint64_t serial) const;
    // The serial of the latest arm still in hand; 0 when none.
    uint64_t latest_arm() const;
    // The serial of the latest unit completed; 0 before the first.
    uint64_t last_completed() const { return completed_serial; }
    // Whether a unit in hand belongs to a partner arm in [1, serial].
    bool owes_partner(uint64_t serial) const;
    // The unit being captured or waiting for its start; null when idle.
    const job* unit_in_progress() const { return current ? &*current : nullptr; }

protected:
    // When a unit armed at board time now starts; nullopt while nothing can
    // be captured (no input signal). after is the end of the unit it queues
    // behind, if any.
    virtual std::optional<duration> unit_start(const job& unit, duration now, std::optional<duration> after) = 0;
    // Length of one unit.
    virtual duration unit_length() = 0;
    // Length of one armed unit; cores whose units vary with what the arm
    // latched (an audio block's sample count) override it.
    virtual duration length_of(const job&) { return unit_length(); }
    // What an arm latches besides the buffer address.
    virtual uint32_t latch_count() { return 0; }
    // The arm of another core that an arm now belongs to; 0 for none.
    virtual uint64_t partner_of_arm() { return 0; }
    // The DMA transfer of one unit, at its start: called with the board
    // mutex held to take what the transfer needs, it returns the writes to
    // memory, which the worker runs with the mutex released (none: nothing
    // to write).
    using transfer = std::function<void()>;
    std::optional<unit_times> unit_in_hand() override;
    outside_work begin_unit() override;
    void end_unit(completion) override;
    virtual transfer fill(const job& unit, duration start) = 0;
    // The units in hand changed: one completed, or was abandoned.
    virtual void units_changed() {}

    bool command(uint8_t code) final;
    bool busy() const final { return current || pending; }
    // Abandons the units in progress and queued (stop, reset).
    void cancel();

    uint8_t mode() const { return lane(reg(0), 1); }
    // When an arm made now would start, queued behind the unit in progress.
    std::optional<duration> start_of_next_arm(duration now);

private:
    void arm();
    // Sets unit.start for a unit queued behind before (may be null).
    void time_unit(job& unit, const job* before, duration now);

    const unsigned buffer_register;
    std::optional<job> current;
    std::optional<job> pending;
    uint64_t arms = 0;
    uint64_t completed_serial = 0;
    unsigned busy_reads = 0;   // reads of register 0 in the busy state since the last arm
    std::atomic<uint64_t> units_done{0};
};

}   // namespace vfpga
