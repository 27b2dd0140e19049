#include "bench/thread_times.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

namespace bench {

namespace {

void read_cpu(const std::string& task, thread_time& t)
{
    std::ifstream schedstat(task + "/schedstat");
    long long on_cpu = -1;
    if (schedstat >> on_cpu && on_cpu >= 0) {
        t.cpu_ns = on_cpu;
    } else {
        // utime and stime are fields 14 and 15 of stat, after the name in
        // brackets (which may hold spaces).
        std::ifstream stat_file(task + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat_file)), std::istreambuf_iterator<char>());
        const size_t name_end = text.rfind(')');
        std::istringstream fields(name_end == std::string::npos ? "" : text.substr(name_end + 2));
        std::string field;
        long long user = 0, system = 0;
        for (int i = 3; i <= 13 && fields >> field; ++i) {
        }
        fields >> user >> system;
        t.cpu_ns = (user + system) * (1000000000 / sysconf(_SC_CLK_TCK));
    }

    std::ifstream status(task + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.find("ctxt_switches:") != std::string::npos)
            t.switches += std::stoll(line.substr(line.find(':') + 1));
}

thread_owner owner_of(const std::string& name)
{
    const auto& names = program_thread_names();
    if (std::find(names.begin(), names.end(), name) != names.end())
        return thread_owner::program;
    if (name.rfind("fpga:", 0) == 0)
        return thread_owner::virtual_cores;
    if (name.rfind("ndi:", 0) == 0)
        return thread_owner::ndi_runtime;
    return thread_owner::other;
}

}   // namespace

std::vector<thread_time> read_thread_times(pid_t pid)
{
    std::vector<thread_time> threads;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* tasks = opendir(dir.c_str());
    while (dirent* entry = tasks ? readdir(tasks) : nullptr) {
        const pid_t tid = pid_t(atoi(entry->d_name));
        if (tid <= 0)
            continue;
        const std::string task = dir + "/" + entry->d_name;
        std::ifstream comm(task + "/comm");
        thread_time t;
        t.tid = tid;
        if (!std::getline(comm, t.name))
            continue;   // gone while we looked
        read_cpu(task, t);
        threads.push_back(t);
    }
    if (tasks)
        closedir(tasks);
    return threads;
}

thread_delta thread_time_delta(const std::vector<thread_time>& start, const std::vector<thread_time>& end)
{
    thread_delta delta;
    std::map<pid_t, const thread_time*> before;
    for (const thread_time& t : start)
        before[t.tid] = &t;
    for (const thread_time& t : end) {
        thread_time d = t;
        if (auto it = before.find(t.tid); it != before.end()) {
            d.cpu_ns -= it->second->cpu_ns;
            d.switches -= it->second->switches;
            before.erase(it);
        }
        delta.threads.push_back(d);
    }
    delta.vanished = int(before.size());
    return delta;
}

const std::vector<std::string>& program_thread_names()
{
    static const std::vector<std::string> names = {
        "vidcap",  "vidcomp", "vidcomp:copy", "send_full", "send_prvw", "track", "audcap",
        "audcomp", "ndiPTZ",  "viscaPTZ",     "tallyPTZ",  "queuePTZ",  "main",
    };
    return names;
}

std::vector<thread_group> group_threads(pid_t pid, const std::vector<thread_time>& threads)
{
    std::vector<thread_group> groups;
    for (const std::string& name : program_thread_names())
        groups.push_back({name, thread_owner::program});
    for (const thread_time& t : threads) {
        const std::string name = t.tid == pid ? "main" : t.name;
        // A thread that still has the process's name was made by the main
        // thread and never named: the program names all of its own.
        const thread_owner owner = t.tid == pid ? thread_owner::program : owner_of(name);
        auto group = std::find_if(groups.begin(), groups.end(),
                                  [&](const thread_group& g) { return g.name == name && g.owner == owner; });
        if (group == groups.end())
            group = groups.insert(groups.end(), {name, owner});
        ++group->threads;
        group->cpu_ns += t.cpu_ns;
        group->switches += t.switches;
        group->stand_in_ns += t.stand_in_ns;
    }
    return groups;
}

thread_group total_of(const std::vector<thread_group>& groups, thread_owner owner)
{
    thread_group total{"all", owner};
    for (const thread_group& g : groups) {
        if (g.owner != owner)
            continue;
        total.threads += g.threads;
        total.cpu_ns += g.cpu_ns;
        total.switches += g.switches;
        total.stand_in_ns += g.stand_in_ns;
    }
    return total;
}

}   // namespace bench
