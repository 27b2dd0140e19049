// One userspace-I/O interrupt line with a level source, as the generic
// platform driver presents it: an enabled line that sees its source asserted
// delivers one interrupt (the count goes up) and disables itself until user
// space writes 1 to the device again.
//
// Guarded by the board's mutex, which every caller holds.
#pragma once

#include <condition_variable>
#include <cstdint>

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
    uint32_t count() const { return interrupts; }
    std::condition_variable& delivered() { return waiters; }

private:
    void deliver()
    {
        if (!level || !enabled)
            return;
        enabled = false;
        ++interrupts;
        waiters.notify_all();
    }

    bool level = false;
    bool enabled = true;   // the driver requests the line enabled
    uint32_t interrupts = 0;
    std::condition_variable waiters;
};

}  // namespace vfpga
