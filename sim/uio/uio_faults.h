// Fault injection of the stand-in libuio, for tests of how the program takes
// a driver that misbehaves: interrupt waits that fail at once (an error from
// the device's read, a signal) instead of waiting. Process-wide, like the
// library's handles; the counts are atomic.
#pragma once

#include <cstdint>

namespace sim {

// The next `count` interrupt waits, of any handle, fail at once with errno
// `error`; 0 ends a fault still pending.
void fail_irq_waits(int count, int error);

// Interrupt waits made since the last fail_irq_waits call, failed ones too.
uint64_t irq_wait_calls();

}   // namespace sim
