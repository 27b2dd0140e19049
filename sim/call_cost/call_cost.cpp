#include "sim/call_cost/call_cost.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "base/owned_file.h"

namespace sim {

namespace {

int64_t clock_ns(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

pid_t this_thread()
{
    thread_local const pid_t tid = gettid();
    return tid;
}

// xorshift32 per thread: a call pattern that repeats every few calls must
// not line up with the choice.
bool chosen()
{
    thread_local uint32_t state = uint32_t(this_thread()) * 2654435761u | 1u;
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state % call_cost::one_in == 0;
}

}   // namespace

call_cost::call_cost(const char* name) : library(name)
{
    if (const char* file = std::getenv("SIM_CALL_COST"))
        path = file;
    if (path.empty())
        return;
    calls.reserve(1 << 16);
    // What an empty call measures: the reads do not cost the same each
    // time, and the one after a call differs from the one it is taken off.
    std::vector<int64_t> empty(255);
    for (int64_t& figure : empty) {
        const int64_t started = clock_ns(CLOCK_THREAD_CPUTIME_ID);
        const int64_t ended = clock_ns(CLOCK_THREAD_CPUTIME_ID);
        figure = ended - started - (clock_ns(CLOCK_THREAD_CPUTIME_ID) - ended);
    }
    std::nth_element(empty.begin(), empty.begin() + 127, empty.end());
    empty_call_ns = empty[127];
}

call_cost::~call_cost()
{
    if (path.empty())
        return;
    const owned_file out(fopen(path.c_str(), "a"));
    if (!out) {
        fprintf(stderr, "%s stand-in: cannot write %s\n", library, path.c_str());
        return;
    }
    for (const measured& m : calls)
        fprintf(out.get(), "%lld.%09lld %d %s %lld %lld\n", (long long)(m.realtime_ns / 1000000000),
                (long long)(m.realtime_ns % 1000000000), int(m.tid), library, (long long)m.cpu_ns,
                (long long)m.clock_ns);
}

call_cost::sample::sample(call_cost& cost) : measuring(!cost.path.empty() && chosen() ? &cost : nullptr)
{
    if (measuring)
        started = clock_ns(CLOCK_THREAD_CPUTIME_ID);
}

call_cost::sample::~sample()
{
    if (!measuring)
        return;
    const int64_t ended = clock_ns(CLOCK_THREAD_CPUTIME_ID);
    const int64_t read = clock_ns(CLOCK_THREAD_CPUTIME_ID) - ended;
    measuring->add(ended - started - read - measuring->empty_call_ns, read);
}

void call_cost::add(int64_t cpu_ns, int64_t read_ns)
{
    const measured m{clock_ns(CLOCK_REALTIME), this_thread(), cpu_ns, read_ns};
    std::lock_guard<std::mutex> lock(guard);
    calls.push_back(m);
}

}   // namespace sim
