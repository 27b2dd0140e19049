#include "app/stop_signals.h"

#include <signal.h>

#include <ctime>

namespace {

volatile sig_atomic_t stop_signal = 0;

void on_stop_signal(int)
{
    stop_signal = 1;
}

sigset_t stop_set()
{
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    return stops;
}

// The main thread's mask with the stop signals let through.
sigset_t mask_while_waiting()
{
    sigset_t during_wait;
    pthread_sigmask(SIG_SETMASK, nullptr, &during_wait);
    sigdelset(&during_wait, SIGTERM);
    sigdelset(&during_wait, SIGINT);
    return during_wait;
}

}   // namespace

void install_stop_signals()
{
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    // A reply to a supervisor that has gone is lost, not fatal.
    signal(SIGPIPE, SIG_IGN);
    const sigset_t stops = stop_set();
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
}

bool stop_requested()
{
    // Held while the thread works: taken here, so that a long piece of work
    // can look between its steps.
    if (!stop_signal) {
        const sigset_t stops = stop_set();
        sigset_t pending;
        const timespec now{0, 0};
        if (sigpending(&pending) == 0 && (sigismember(&pending, SIGTERM) || sigismember(&pending, SIGINT)) &&
            sigtimedwait(&stops, nullptr, &now) > 0)
            stop_signal = 1;
    }
    return stop_signal != 0;
}

int wait_or_stop(pollfd* watched, int count, std::chrono::milliseconds timeout)
{
    // ppoll swaps the mask atomically: a signal held since the last check
    // interrupts it at once instead of being missed.
    const sigset_t during_wait = mask_while_waiting();
    timespec limit{};
    const timespec* limit_or_none = nullptr;
    if (timeout.count() >= 0) {
        limit.tv_sec = time_t(timeout.count() / 1000);
        limit.tv_nsec = long(timeout.count() % 1000) * 1000000L;
        limit_or_none = &limit;
    }
    if (stop_signal)
        return -1;
    const int ready = ppoll(watched, nfds_t(count), limit_or_none, &during_wait);
    return stop_signal ? -1 : ready;
}

void pause_or_stop(std::chrono::milliseconds pause)
{
    wait_or_stop(nullptr, 0, pause);
}
