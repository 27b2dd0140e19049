#include "bench/progress.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

namespace bench {

namespace {

std::atomic<bool> stop_requested{false};

void on_signal(int)
{
    stop_requested = true;
}

}   // namespace

void catch_interrupts()
{
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool interrupted()
{
    return stop_requested;
}

bool wait_showing(const std::string& label, double seconds, const std::function<bool()>& done)
{
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    const auto end = start + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(seconds));
    const bool terminal = isatty(STDERR_FILENO);
    long shown = -1;
    while (!stop_requested && clock::now() < end && !(done && done())) {
        const long passed = long(std::chrono::duration<double>(clock::now() - start).count());
        // On a terminal the line counts up in place; in a log, every ten seconds.
        if (passed != shown && (terminal || passed % 10 == 0)) {
            std::fprintf(stderr, terminal ? "\r%s: %ld of %.0f s " : "%s: %ld of %.0f s\n", label.c_str(), passed,
                         std::ceil(seconds));
            shown = passed;
        }
        std::this_thread::sleep_for(std::min<clock::duration>(std::chrono::milliseconds(100), end - clock::now()));
    }
    if (terminal)
        std::fprintf(stderr, "\r%s: %s\n", label.c_str(), stop_requested ? "interrupted" : "done");
    return !stop_requested;
}

void say(const std::string& text)
{
    std::fprintf(stderr, "%s\n", text.c_str());
}

}   // namespace bench
