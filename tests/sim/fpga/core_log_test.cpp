// What the virtual FPGA tells a tool about its cores from outside: the core
// log (starts and interrupt rises on the wall clock) and the names of the
// models' worker threads.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "hw/hardware.h"
#include "hw/registers.h"
#include "tests/support/test_board.h"

namespace {

struct logged_event {
    int64_t ns;
    std::string source, what;
    long thread = 0;               // a start's writer
    unsigned long long call = 0;   // and its calls into the board so far
};

std::vector<logged_event> read_log(const std::string& path)
{
    std::vector<logged_event> events;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        long long seconds = 0, nanoseconds = 0;
        char source[32] = {}, what[16] = {};
        long thread = 0;
        unsigned long long call = 0;
        if (std::sscanf(line.c_str(), "%lld.%9lld %31s %15s %ld %llu", &seconds, &nanoseconds, source, what, &thread,
                        &call) >= 4)
            events.push_back({seconds * 1000000000 + nanoseconds, source, what, thread, call});
    }
    return events;
}

int64_t wall_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::set<std::string> thread_names()
{
    std::set<std::string> names;
    DIR* tasks = opendir("/proc/self/task");
    while (dirent* entry = tasks ? readdir(tasks) : nullptr) {
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name))
            names.insert(name);
    }
    if (tasks)
        closedir(tasks);
    return names;
}

// One audio block: armed, its interrupt awaited and acknowledged.
bool capture_block(hardware& hw, uint32_t offset)
{
    hw.write_reg32(regs::audio_in_block, regs::audio_buffer, hw.bus_address(offset));
    hw.write_reg32(regs::audio_in_block, regs::audio_samples, 768);
    hw.write_reg8(regs::audio_in_block, regs::control, regs::lane_command, regs::command_arm);
    timeval limit{10, 0};
    const bool arrived = hw.wait_irq(regs::irq_audio_in, &limit) >= 0;
    // The line is looked at again while it is up: that is no second rise.
    hw.write_reg8(regs::audio_in_block, regs::control, regs::lane_enable, regs::events_enable);
    hw.write_reg8(regs::audio_in_block, regs::control, regs::lane_events, regs::events_clear);
    hw.enable_irq(regs::irq_audio_in);
    return arrived;
}

}   // namespace

TEST(core_log, starts_and_interrupt_rises_in_order_on_the_wall_clock_when_the_board_goes)
{
    char dir[] = "/tmp/core-log-test-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string path = std::string(dir) + "/core.log";
    vfpga::board_config config = test_board::small_config();   // a fast clock: blocks end once armed
    config.settings["core_log"] = path;

    const int64_t before = wall_ns();
    {
        auto board = std::make_unique<test_board>(config);
        hardware hw;
        EXPECT_TRUE(thread_names().count("fpga:aud_in")) << "the audio model's worker carries its name";
        EXPECT_TRUE(thread_names().count("fpga:vid_in"));
        const uint32_t base = hw.get_region(audio_region).address;
        hw.write_reg8(regs::audio_in_block, regs::control, regs::lane_enable, regs::events_enable);
        ASSERT_TRUE(capture_block(hw, base));
        ASSERT_TRUE(capture_block(hw, base + 8192));
        // Not a start: other lanes of register 0, and a word that stops the core.
        hw.write_reg8(regs::audio_in_block, regs::control, regs::lane_mode, 1);
        hw.write_reg32(regs::audio_in_block, regs::control, 0);
        EXPECT_TRUE(read_log(path).empty()) << "kept in memory while the board lives";
    }
    const int64_t after = wall_ns();

    const std::vector<logged_event> events = read_log(path);
    std::vector<std::string> seen;
    int64_t previous = before;
    for (const logged_event& e : events) {
        seen.push_back(e.source + " " + e.what);
        EXPECT_GE(e.ns, previous);
        EXPECT_LE(e.ns, after);
        previous = e.ns;
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"aud_in start", "aud_in irq", "aud_in start", "aud_in irq"}));
    // Each start names this thread and counts its calls: between the two
    // arms, the wait, three writes of the acknowledgement and the interrupt
    // enable, two of the next buffer.
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].thread, long(gettid()));
    EXPECT_EQ(events[2].thread, long(gettid()));
    EXPECT_EQ(events[2].call - events[0].call, 7u);
    EXPECT_EQ(events[1].thread, 0) << "an interrupt's line names no thread";
    std::remove(path.c_str());
    rmdir(dir);
}
