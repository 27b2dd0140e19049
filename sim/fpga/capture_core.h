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
// product can keep one buffer in progress and one queued. A worker thread
// paces the units by the board's clock, has the subclass fill each finished
// buffer by DMA (outside the board's mutex, as a DMA engine writes beside the
// bus: a picture's worth of writes must not hold up the other cores),
// buffer by DMA, then raises the events and the interrupt.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <thread>

#include "sim/fpga/core_model.h"
#include "sim/fpga/model_clock.h"

namespace vfpga {

class capture_core : public core_model {
public:
    capture_core(fpga& board, std::string name, uint32_t block, unsigned register_count, int irq,
                 unsigned buffer_register);
    ~capture_core() override;

    uint32_t read(unsigned reg) override;
    // Abandons the unit in progress and times the next one afresh.
    void input_changed() override;
    void start() override;
    void stop() override;

    // Tests: units completed since the board was made.
    uint64_t completed() const { return units_done.load(); }

    // The end (board time) of the unit this core has timed or is writing
    // and not yet completed, or a bound below it while the worker has yet to
    // time an arm; nullopt when it has none. Board mutex held.
    std::optional<model_clock::duration> unit_in_hand() const;

protected:
    using duration = model_clock::duration;
    struct job {
        uint32_t address = 0;   // bus address latched at arm time
        uint32_t count = 0;     // a second latched register (e.g. samples), if any
        duration armed_at{};    // board time of the arm
    };

    // When a unit armed at 'now' would start; nullopt while nothing can be
    // captured (no input signal). after is the end of the previous unit when
    // the core runs back to back. 'now' is the time of the arm (or of the
    // last restart, if later), not the moment the worker got round to it, so
    // that a stepped clock moved right after an arm still finds the unit
    // started at the arm.
    virtual std::optional<duration> unit_start(duration now, std::optional<duration> after) = 0;
    // Length of one unit.
    virtual duration unit_length() = 0;
    // Length of one armed unit; cores whose units vary with what the arm
    // latched (an audio block's sample count) override it.
    virtual duration length_of(const job&) { return unit_length(); }
    // What an arm latches besides the buffer address.
    virtual uint32_t latch_count() { return 0; }
    // The DMA transfer of one finished unit: called with the board mutex
    // held to take what the transfer needs, it returns the writes to memory,
    // which the worker runs with the mutex released (none: nothing to write).
    using transfer = std::function<void()>;
    virtual transfer fill(const job& unit, duration start) = 0;
    // Reactions to writes other than the handshake of register 0.
    virtual void write_other(unsigned reg, uint32_t value, uint32_t mask);
    // Whether a unit ending at end, its data written, may raise its events
    // now; a core whose interrupt stands for another core's data too holds
    // it back until that core is done (board mutex held). Such a core
    // watches the other, which wakes it whenever its unit in hand changes.
    virtual bool may_complete(duration) { return true; }
    // For may_complete: whether other (may be null) has no unit in hand
    // that ends by end, so it has written whatever it had of that unit.
    static bool done_by(const capture_core* other, duration end);
    // Makes other (may be null) wake this core's worker; before the workers
    // start. A core has one watcher: the latest.
    void watch(capture_core* other);

    void write(unsigned reg, uint32_t value, uint32_t mask) final;
    // Abandons the units in progress and queued (stop, reset).
    void cancel();

    uint8_t mode() const { return lane(reg(0), 1); }

private:
    void run();

    const unsigned buffer_register;
    std::optional<job> current;
    std::optional<job> pending;
    uint64_t generation = 0;
    duration restarted_at{};   // board time of the last generation change
    std::optional<duration> in_hand;   // see unit_in_hand
    bool untimed = false;   // current was armed and the worker has yet to time it
    void drop_unit_in_hand();
    void wake_watcher();
    capture_core* watcher = nullptr;   // a core whose completion waits on this one
    std::atomic<uint64_t> units_done{0};
};

}  // namespace vfpga
