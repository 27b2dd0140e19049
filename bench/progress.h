// The benchmarks' waits: a line on standard error that counts the seconds
// of a long run, and Ctrl-C, which ends the wait (interrupted() then says
// so) and lets the run stop the appliance and clean up.
//
// Thread rules: the main thread waits; the signal handler sets one atomic.
#pragma once

#include <functional>
#include <string>

namespace bench {

// Catches SIGINT and SIGTERM from here on.
void catch_interrupts();
bool interrupted();

// Waits seconds, showing "label: N of M s", or less once done() is true;
// false when interrupted.
bool wait_showing(const std::string& label, double seconds, const std::function<bool()>& done = {});

// A line of its own on standard error, e.g. "warming up".
void say(const std::string& text);

}   // namespace bench
