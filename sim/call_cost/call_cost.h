// What a stand-in library's calls cost the program's threads. On the board
// a register access is one bus cycle and an NDI send is the runtime's own
// business; here an access takes the board's mutex, runs a core model and
// may wake a model's worker, and a send wakes the runtime stand-in's thread.
// That work runs on the calling thread, which the benchmarks measure as the
// program's; this record lets them tell the two apart.
//
// With SIM_CALL_COST=FILE in the environment, a library measures one call
// in 64, chosen at random, on the calling thread's CPU clock (time spent
// preempted or blocked does not count). The clock is read a third time
// right after the call, and that last interval, what one read costs, is
// taken off the call's figure, and so is what an empty call measures. A
// measured call still runs a little slower than the others, after the
// clock's system call: the figures run high by some tens of nanoseconds
// and a few per cent. When the library unloads it appends one line per
// measured call:
//     1712345678.123456789 4242 uio 5310 480
// the wall clock at the call's end, the thread id, the library, the call's
// CPU nanoseconds and the clock read's. 64 times a thread's call figures in
// a window estimate what its calls into the library cost it; measuring
// cost it three clock reads per measured call besides.
//
// Thread rules: sample may be made on any thread; a mutex guards the
// measured calls.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

class call_cost {
public:
    static constexpr unsigned one_in = 64;

    explicit call_cost(const char* library);   // reads SIM_CALL_COST
    ~call_cost();                              // appends the record
    call_cost(const call_cost&) = delete;
    call_cost& operator=(const call_cost&) = delete;

    // Measures the call it lives through, when chosen.
    class sample {
    public:
        explicit sample(call_cost& cost);
        ~sample();
        sample(const sample&) = delete;
        sample& operator=(const sample&) = delete;

    private:
        call_cost* measuring;
        int64_t started = 0;
    };

private:
    struct measured {
        int64_t realtime_ns;
        pid_t tid;
        int64_t cpu_ns;
        int64_t clock_ns;
    };

    void add(int64_t cpu_ns, int64_t clock_ns);

    const char* const library;
    std::string path;
    int64_t empty_call_ns = 0;   // what a call that does nothing measures
    std::mutex guard;
    std::vector<measured> calls;
};

}   // namespace sim
