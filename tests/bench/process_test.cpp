// What the benchmarks read of a process from /proc: CPU time per thread,
// who the threads belong to, and resident memory.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>

#include "bench/memory_use.h"
#include "bench/report.h"
#include "bench/thread_times.h"

using bench::parse_smaps;

namespace {

// Two pages of a mapping: its header, then the fields smaps gives.
std::string mapping(const char* header, int rss_kib)
{
    return std::string(header) + "\nSize:               64 kB\nRss:              " + std::to_string(rss_kib) +
        " kB\nPss:               4 kB\nAnonymous:         0 kB\nVmFlags: rd wr mr mw me ac sd\n";
}

}   // namespace

TEST(memory_use, splits_resident_pages_by_what_they_are)
{
    const std::string smaps =
        mapping("55d0c0a00000-55d0c0a21000 r-xp 00000000 fe:00 1234   /opt/ndi-encoder/bin/ndi-encoder", 100) +
        mapping("55d0c1a00000-55d0c1b00000 rw-p 00000000 00:00 0      [heap]", 200) +
        mapping("7f0000000000-7f0004000000 rw-p 00000000 00:00 0 ", 300) +
        mapping("7f0010000000-7f0018000000 rw-s 00000000 00:1a 77     /dev/shm/bench.x/board/dev/mem", 4000) +
        mapping("7f0020000000-7f0020001000 rw-s 00000000 00:01 5      /memfd:x (deleted)", 8) +
        mapping("7ffc00000000-7ffc00021000 rw-p 00000000 00:00 0      [stack]", 16) +
        mapping("7f0030000000-7f0030010000 r--p 00000000 fe:00 99     /dev/shm/bench.xy/other", 1);
    const bench::memory_use m = parse_smaps(smaps, "/dev/shm/bench.x/board");
    EXPECT_EQ(m.rss_kib, 4625);
    EXPECT_EQ(m.dma_kib, 4000);
    EXPECT_EQ(m.without_dma(), 625);
    EXPECT_EQ(m.heap_kib, 200);
    EXPECT_EQ(m.anonymous_kib, 324);
    EXPECT_EQ(m.file_kib, 101) << "a file beside the board root is not the board's memory";
}

TEST(memory_use, sees_this_process_allocate)
{
    const bench::memory_use before = bench::read_memory_use(getpid(), "");
    const size_t size = 32u << 20;
    std::unique_ptr<char[]> block(new char[size]);
    std::memset(block.get(), 1, size);
    // The block is never read: without this an optimiser may leave out the
    // allocation and the writes altogether.
    asm volatile("" : : "r"(block.get()) : "memory");
    const bench::memory_use after = bench::read_memory_use(getpid(), "");
    EXPECT_GE(after.heap_kib + after.anonymous_kib - before.heap_kib - before.anonymous_kib, 31 * 1024);
    EXPECT_GT(after.file_kib, 0);
}

TEST(thread_times, deltas_count_new_threads_whole_and_vanished_ones_apart)
{
    using bench::thread_time;
    const std::vector<thread_time> start = {{10, "vidcap", 1000, 5}, {11, "ndi:tx", 500, 1}, {12, "ndi:tx", 700, 1}};
    const std::vector<thread_time> end = {{10, "vidcap", 1600, 9}, {12, "ndi:tx", 900, 1}, {13, "ndi:tx", 50, 2}};
    const bench::thread_delta d = bench::thread_time_delta(start, end);
    EXPECT_EQ(d.vanished, 1);
    ASSERT_EQ(d.threads.size(), 3u);
    EXPECT_EQ(d.threads[0].cpu_ns, 600);
    EXPECT_EQ(d.threads[0].switches, 4);
    EXPECT_EQ(d.threads[2].switches, 2);
    EXPECT_EQ(d.threads[1].cpu_ns, 200);
    EXPECT_EQ(d.threads[2].cpu_ns, 50);
}

TEST(thread_times, groups_by_owner_with_the_first_thread_as_main)
{
    using bench::thread_owner;
    const std::vector<bench::thread_time> threads = {
        {100, "ndi-encoder", 7, 1},  {101, "vidcomp", 20, 3},    {102, "ndi:tx", 3, 0},   {103, "ndi:tx", 4, 0},
        {104, "fpga:vid_in", 30, 0}, {105, "ndi-encoder", 9, 0}, {106, "queuePTZ", 1, 2},
    };
    const auto groups = bench::group_threads(100, threads);
    auto find = [&](const std::string& name, thread_owner owner) {
        return std::find_if(groups.begin(), groups.end(),
                            [&](const bench::thread_group& g) { return g.name == name && g.owner == owner; });
    };
    ASSERT_EQ(groups.size(), bench::program_thread_names().size() + 3);
    EXPECT_EQ(groups.front().name, "vidcap") << "the program's threads first, in pipeline order";
    EXPECT_EQ(groups.front().threads, 0);
    EXPECT_EQ(find("main", thread_owner::program)->cpu_ns, 7);
    EXPECT_EQ(find("vidcomp", thread_owner::program)->cpu_ns, 20);
    EXPECT_EQ(find("ndi:tx", thread_owner::ndi_runtime)->threads, 2);
    EXPECT_EQ(find("ndi-encoder", thread_owner::other)->cpu_ns, 9) << "an unnamed thread is not the program's";
    const bench::thread_group program = bench::total_of(groups, thread_owner::program);
    EXPECT_EQ(program.cpu_ns, 28);
    EXPECT_EQ(program.threads, 3);
    EXPECT_EQ(program.switches, 6);
    EXPECT_EQ(bench::total_of(groups, thread_owner::virtual_cores).cpu_ns, 30);
    EXPECT_EQ(bench::total_of(groups, thread_owner::ndi_runtime).threads, 2);
}

TEST(thread_times, a_busy_named_thread_of_this_process_shows_its_cpu)
{
    std::atomic<bool> spun{false}, done{false};
    std::thread busy([&] {
        pthread_setname_np(pthread_self(), "vidcomp");
        timespec used{};
        while (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used) == 0 && used.tv_sec == 0 && used.tv_nsec < 60000000) {
        }
        spun = true;
        while (!done)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (!spun)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto threads = bench::read_thread_times(getpid());
    done = true;
    busy.join();
    auto it = std::find_if(threads.begin(), threads.end(), [](const auto& t) { return t.name == "vidcomp"; });
    ASSERT_NE(it, threads.end());
    EXPECT_GE(it->cpu_ns, 60000000);
    EXPECT_LT(it->cpu_ns, 1000000000);
    EXPECT_GT(it->switches, 0);
}

// The line printed above every benchmark's tables: a figure is read with the
// date it was taken on and the machine it was taken on, as the system and
// the kernel give them.
TEST(report, machine_line_gives_the_date_and_the_processors)
{
    char today[16];
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(today, sizeof today, "%Y-%m-%d", &utc);
    const std::string line = bench::machine_description();
    // A run across midnight may see the next day.
    std::tm later = utc;
    const std::time_t soon = now + 60;
    gmtime_r(&soon, &later);
    char tomorrow[16];
    std::strftime(tomorrow, sizeof tomorrow, "%Y-%m-%d", &later);
    EXPECT_TRUE(line.rfind(today, 0) == 0 || line.rfind(tomorrow, 0) == 0) << line;
    EXPECT_NE(line.find(" UTC; "), std::string::npos) << line;
    EXPECT_NE(line.find(", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " CPUs, load average "),
              std::string::npos)
        << line;
    EXPECT_NE(line.find(" build"), std::string::npos) << line;
}
