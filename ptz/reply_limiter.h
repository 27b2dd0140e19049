// Bounds how often the network-settings responder answers. Every answer is
// a broadcast that reaches each host of the LAN, to a port the sender
// chooses (a NAK aimed at 52381 is acknowledged by every VISCA-over-IP
// device there), so without a bound each datagram that anyone sends would
// make the appliance flood the LAN as fast as they arrive.
//
// Four answers in any one second serve what really asks: a discovery tool
// sends one enquiry per search and retries a few times, a controller sends
// one network-setting command and waits for its NAK, and several of them
// may search at once. Enquiries and NAKs each get a limiter of their own
// (discovery_budget, below): a limiter per sender would give a flood from
// many spoofed addresses as many budgets, while two fixed budgets keep a
// flood of any kind to at most eight broadcasts a second (about 1 KB) out
// of the appliance, however fast it comes.
//
// Threads: "viscaPTZ" only. Time is given, so tests step it.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>

class reply_limiter {
public:
    using clock = std::chrono::steady_clock;
    static constexpr size_t per_second = 4;

    // Whether an answer may go at now (counted when it may): true unless
    // per_second answers went within the second before now.
    bool allow(clock::time_point now);

private:
    std::array<clock::time_point, per_second> sent{};   // the latest answers; the oldest at next once full
    size_t next = 0;
    size_t count = 0;
};

// The responder's two budgets: network-settings replies to enquiries, and
// NAKs to everything else. Junk spends only the NAKs', so an enquiry is
// answered whenever four have not already been answered in the second
// before, whatever else arrives.
class discovery_budget {
public:
    using clock = reply_limiter::clock;

    bool allow(bool enquiry, clock::time_point now) { return (enquiry ? enquiries : naks).allow(now); }

private:
    reply_limiter enquiries;
    reply_limiter naks;
};
