// The hand-off from "ndiPTZ" (and the ptz destructor) to "queuePTZ": a ring
// of 64 requests that holds at most 63. A producer never waits: a push onto
// 63 waiting requests drops the oldest one that is not a stop (pan-tilt
// stop, zoom stop, the end of the queue), so that a flood of metadata can
// never leave the camera driving. When all 63 are stops, it drops the oldest
// stop that a later stop of the same kind still waits behind: the last
// waiting stop of each kind is never dropped. (Focus has no stop request: a
// focus request sets a position.)
//
// Threads: any number of producers, one consumer. mutex guards slots, head
// and tail; it is held only for the few steps of push and take, never while
// a command is sent.
#pragma once

#include <array>
#include <condition_variable>
#include <mutex>

#include "ptz/ptz_request.h"

class request_ring {
public:
    static constexpr int slots = 64;
    static constexpr int capacity = slots - 1;

    void push(const ptz_request& request);

    // Waits for a request and takes the oldest; while the next one waiting
    // has the same code, takes that instead (the earlier is dropped), so
    // only the newest of a run of one code is returned.
    ptz_request take();

    int size();

private:
    int slot_to_drop() const;
    void drop_one();

    std::mutex mutex;
    std::condition_variable ready;
    std::array<ptz_request, slots> ring{};
    int head = 0;   // next slot to fill
    int tail = 0;   // oldest waiting; empty when head == tail
};
