// SIGTERM and SIGINT: a service manager's stop. They end the program by the
// same orderly teardown as "exit", from whatever the main thread is doing.
//
// install_stop_signals() runs first thing in main, before any thread is
// made: from then on the signals are blocked on every thread and taken only
// where the main thread waits (a command, the reply pipe's reader at
// start-up), through the waits below. A signal that comes while the main
// thread works is held until its next wait, which then returns at once.
#pragma once

#include <poll.h>

#include <chrono>

void install_stop_signals();

// True once a stop signal has come, including one held just now.
bool stop_requested();

// poll() on watched with the stop signals let through; timeout negative
// waits without end. Returns poll's result, or -1 with the stop flag set.
int wait_or_stop(pollfd* watched, int count, std::chrono::milliseconds timeout);

// Sleeps for pause, or less when a stop signal comes.
void pause_or_stop(std::chrono::milliseconds pause);
