// One userspace-I/O interrupt line with a level source, as the generic
// platform driver presents it: an enabled line that sees its source asserted
// delivers one interrupt (the count goes up) and disables itself until user
// space writes 1 to the device again.
//
// The level and the enable are guarded by the board's mutex, which every
// caller of set_level and enable holds. The count has a mutex of its own, so
// that a waiter woken by an interrupt runs at once instead of queueing for
// the board's mutex behind the core that raised it, as a read of a uio
// device would.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

namespace vfpga {

class irq_line {
public:
    // The source's level, derived by the board from its cores' event bits.
    void set_level(bool asserted)
    {
        level = asserted;
        deliver();
    }

    // uio_enable_irq.
    void enable()
    {
        enabled = true;
        deliver();
    }

    bool asserted() const { return level; }

    uint32_t count() const
    {
        std::lock_guard<std::mutex> lock(counting);
        return interrupts;
    }

    // Waits until the count is no longer seen, then sets seen to it; false
    // when limit passed first (no limit: waits for ever).
    bool wait(uint32_t& seen, std::optional<std::chrono::microseconds> limit)
    {
        std::unique_lock<std::mutex> lock(counting);
        auto arrived = [&] { return interrupts != seen; };
        if (!limit)
            waiters.wait(lock, arrived);
        else if (!waiters.wait_for(lock, *limit, arrived))
            return false;
        seen = interrupts;
        return true;
    }

private:
    void deliver()
    {
        if (!level || !enabled)
            return;
        enabled = false;
        {
            std::lock_guard<std::mutex> lock(counting);
            ++interrupts;
        }
        waiters.notify_all();
    }

    bool level = false;
    bool enabled = true;   // the driver requests the line enabled
    mutable std::mutex counting;
    uint32_t interrupts = 0;
    std::condition_variable waiters;
};

}   // namespace vfpga
