#include "base/utilities.h"

#include <pthread.h>
#include <sched.h>
#include <sys/time.h>

#include <cstdlib>
#include <ctime>

#include "base/board_root.h"

const char* const program_version = "1.5.0";

namespace {

int64_t wall_start_100ns()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return int64_t(tv.tv_sec) * 10000000 + int64_t(tv.tv_usec) * 10;
}

int64_t realtime_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

const int64_t start_wall = wall_start_100ns();
const int64_t start_clock = realtime_ns();

}   // namespace

bool set_thread_priority(int n)
{
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_FIFO) - n;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

int64_t timestamp_100ns()
{
    return start_wall + (realtime_ns() - start_clock) / 100;
}

void set_thread_name(const char* name)
{
    pthread_setname_np(pthread_self(), name);
}

std::string platform_path(std::string_view path)
{
    return board_root() += path;
}
