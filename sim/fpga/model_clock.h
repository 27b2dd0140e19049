// Time as the core models see it. Real time paces the cores for a person
// watching; "fast" lets work complete as soon as it is armed; "stepped" only
// moves when a test advances it, so tests never sleep waiting for hardware.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vfpga {

class model_clock {
public:
    enum class mode { realtime, fast, stepped };
    using duration = std::chrono::nanoseconds;

    explicit model_clock(mode m);

    mode kind() const { return clock_mode; }
    // Time since the board was made.
    duration now() const;

    // Waits, with lock held on entry and exit, until the clock reaches t or
    // wake returns true. Returns true when t was reached. cv must be the
    // condition variable that is notified when wake may have changed (and on
    // every step of a stepped clock).
    template <class Wake>
    bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, duration t, Wake wake)
    {
        switch (clock_mode) {
        case mode::realtime: return !cv.wait_until(lock, origin + t, wake);
        case mode::fast: advance_to(t); return !wake();
        case mode::stepped: cv.wait(lock, [&] { return wake() || now() >= t; }); return !wake();
        }
        return false;
    }

    // Moves a stepped clock forward; the caller then notifies the models.
    void advance(duration step);

private:
    void advance_to(duration t);

    const mode clock_mode;
    const std::chrono::steady_clock::time_point origin;
    std::atomic<int64_t> virtual_ns{0};
};

model_clock::mode parse_clock_mode(const std::string& text);

}   // namespace vfpga
