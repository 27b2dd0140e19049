// CPU time per thread of a process, read from /proc/PID/task (schedstat's
// nanoseconds on the CPU, else utime + stime in clock ticks), with its
// context switches (status), and the split of a run's CPU into the program's
// threads, by the names the program gives them, and the stand-ins' threads
// that share its process.
//
// Thread rules: none; plain functions and values.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct thread_time {
    pid_t tid = 0;
    std::string name;
    int64_t cpu_ns = 0;
    int64_t switches = 0;      // voluntary and involuntary context switches
    int64_t stand_in_ns = 0;   // of cpu_ns, in calls into the stand-in libraries, when measured
};

std::vector<thread_time> read_thread_times(pid_t pid);

// What each thread spent between two readings; a thread that began in
// between counts whole, one that ended in between is lost (and counted in
// `vanished`).
struct thread_delta {
    std::vector<thread_time> threads;
    int vanished = 0;
};
thread_delta thread_time_delta(const std::vector<thread_time>& start, const std::vector<thread_time>& end);

enum class thread_owner { program, virtual_cores, ndi_runtime, other };

// The program's threads, in the order of its pipeline; "main" is the
// process's first thread, whatever it is called.
const std::vector<std::string>& program_thread_names();

struct thread_group {
    std::string name;   // a program thread's name, or the stand-in's
    thread_owner owner = thread_owner::other;
    int threads = 0;
    int64_t cpu_ns = 0;
    int64_t switches = 0;
    int64_t stand_in_ns = 0;
};

// Every program thread of program_thread_names() gets a group (empty when
// absent), in that order, then one group per stand-in thread name ("fpga:*"
// the virtual cores, "ndi:*" the NDI runtime, anything else other).
std::vector<thread_group> group_threads(pid_t pid, const std::vector<thread_time>& threads);

// The owner's groups added up (its name: "all").
thread_group total_of(const std::vector<thread_group>& groups, thread_owner owner);

}   // namespace bench
