#include "video/track.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hw/hardware.h"
#include "hw/registers.h"
#include "sim/cores/track_core.h"
#include "tests/support/test_board.h"
#include "video/video_capture.h"

using namespace std::chrono_literals;

namespace {

// Standard output redirected into a pipe and split into lines as they come,
// so a test can wait for the tracker's signal lines. Anything else printed
// meanwhile (gtest's failure reports) is passed on when the capture ends.
class stdout_lines {
public:
    stdout_lines()
    {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        fflush(stdout);
        saved = dup(STDOUT_FILENO);
        dup2(ends[1], STDOUT_FILENO);
        close(ends[1]);
        reader = std::thread([this, in = ends[0]] { collect(in); });
    }
    ~stdout_lines()
    {
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);   // closes the last write end: the reader sees its end
        close(saved);
        reader.join();
        for (const auto& line : seen)
            if (line.rfind("Signal : ", 0) != 0)
                printf("%s\n", line.c_str());
    }

    // The lines so far, once there are at least n or the limit has passed.
    std::vector<std::string> wait_for(size_t n, std::chrono::milliseconds limit = 5s)
    {
        std::unique_lock<std::mutex> lock(guard);
        arrived.wait_for(lock, limit, [&] { return seen.size() >= n; });
        return seen;
    }

private:
    void collect(int in)
    {
        FILE* pipe = fdopen(in, "r");
        char* line = nullptr;
        size_t size = 0;
        for (ssize_t got; (got = getline(&line, &size, pipe)) > 0;) {
            std::lock_guard<std::mutex> lock(guard);
            seen.emplace_back(line, size_t(got) - (line[got - 1] == '\n'));
            arrived.notify_all();
        }
        free(line);
        fclose(pipe);
    }

    int saved = -1;
    std::thread reader;
    std::mutex guard;
    std::condition_variable arrived;
    std::vector<std::string> seen;
};

std::vector<uint32_t> control_bytes(test_board& board)
{
    std::vector<uint32_t> bytes;
    for (const auto& w : board.writes_to(regs::track_block, regs::control)) {
        EXPECT_EQ(w.width, 1);
        EXPECT_EQ(w.lane(), regs::lane_command);
        bytes.push_back(w.value);
    }
    return bytes;
}

vfpga::video_signal signal(const char* name)
{
    return *vfpga::video_signal::parse(name);
}

}   // namespace

TEST(track_decode, rate_windows_their_edges_and_gaps)
{
    struct {
        uint32_t period;
        uint32_t n, d;
        int printed;
    } const cases[] = {
        {0, 60000, 1001, 59},     {16649, 60000, 1001, 59},  {16650, 60000, 1000, 60}, {16682, 60000, 1000, 60},
        {16683, 60000, 1001, 59}, {16699, 60000, 1001, 59},  {16700, 60000, 1000, 60}, {19983, 60000, 1000, 60},
        {19984, 50000, 1000, 50}, {20016, 50000, 1000, 50},  {20017, 60000, 1000, 60}, {33316, 60000, 1000, 60},
        {33317, 30000, 1000, 30}, {33349, 30000, 1000, 30},  {33350, 30000, 1001, 29}, {33382, 30000, 1001, 29},
        {33383, 60000, 1000, 60}, {39983, 60000, 1000, 60},  {39984, 25000, 1000, 25}, {40016, 25000, 1000, 25},
        {40017, 60000, 1000, 60}, {41649, 60000, 1000, 60},  {41650, 24000, 1000, 24}, {41682, 24000, 1000, 24},
        {41683, 60000, 1000, 60}, {41691, 60000, 1000, 60},  {41692, 24000, 1001, 23}, {41724, 24000, 1001, 23},
        {41725, 60000, 1000, 60}, {0xFFFF, 60000, 1000, 60},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.period);
        // The low half (geometry and stray bits) must not leak into the period.
        const track::reading_t r = track::decode(c.period << 16 | 0xFFFF);
        EXPECT_EQ(r.signal.frame_rate_n, c.n);
        EXPECT_EQ(r.signal.frame_rate_d, c.d);
        EXPECT_EQ(r.printed_rate, c.printed);
    }
}

TEST(track_decode, geometry_bits_in_priority_order)
{
    struct {
        uint32_t bits;
        uint8_t valid;
        uint32_t width, height;
        uint8_t interlaced;
    } const cases[] = {
        {0x80, 1, 1920, 1080, 0}, {0xE0, 1, 1920, 1080, 0}, {0x40, 1, 1920, 540, 1}, {0x60, 1, 1920, 540, 1},
        {0x20, 1, 1280, 720, 0},  {0x00, 0, 0, 0, 0},       {0x1F, 0, 0, 0, 0},      {0xFF00, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bits);
        const signal_info s = track::decode(20000u << 16 | c.bits).signal;
        EXPECT_EQ(s.valid, c.valid);
        EXPECT_EQ(s.width, c.width);
        EXPECT_EQ(s.height, c.height);
        EXPECT_EQ(s.interlaced, c.interlaced);
        EXPECT_EQ(s.format | s.reserved0 | s.reserved1, 0);
        EXPECT_EQ(s.frame_rate_n, 50000u);   // the rate stands without a geometry too
    }
}

// The model's status words and the tracker's decoding must agree on every
// format a board can be given.
TEST(track_decode, reads_back_what_the_virtual_core_measures)
{
    const std::pair<const char*, const char*> cases[] = {
        {"1080p60", "1920x1080p60 1"},
        {"1080p59.94", "1920x1080p59 1"},
        {"1080p29.97", "1920x1080p29 1"},
        {"1080p23.98", "1920x1080p23 1"},
        {"1080i50", "1920x540p50 1"},
        {"720p59.94", "1280x720p59 1"},
        {"none", "0x0p59 0"},
    };
    for (const auto& [format, expected] : cases) {
        SCOPED_TRACE(format);
        const track::reading_t r = track::decode(vfpga::track_status(signal(format)));
        char line[64];
        snprintf(line, sizeof line, "%ux%up%i %i", r.signal.width, r.signal.height, r.printed_rate, r.signal.valid);
        EXPECT_STREQ(line, expected);
    }
}

TEST(track, publishes_at_once_then_once_per_interrupt_and_stops_promptly)
{
    test_board board;
    auto* core = board.fpga().model<vfpga::track_core>();
    ASSERT_NE(core, nullptr);
    stdout_lines out;
    auto hw = std::make_shared<hardware>();
    auto video = std::make_shared<video_capture>(hw, 0, nullptr, nullptr);
    auto tracker = std::make_unique<track>(hw, video, nullptr);

    EXPECT_EQ(out.wait_for(1).at(0), "Signal : 1920x1080p60 1");
    // Nothing changes, so nothing more is read or published.
    EXPECT_EQ(out.wait_for(2, 250ms).size(), 1u);

    core->set_signal(signal("720p50"));
    EXPECT_EQ(out.wait_for(2).at(1), "Signal : 1280x720p50 1");
    core->set_signal(signal("none"));
    EXPECT_EQ(out.wait_for(3).at(2), "Signal : 0x0p59 0");

    const auto began = std::chrono::steady_clock::now();
    tracker.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - began, 300ms);   // one 100 ms slice, with slack
    EXPECT_EQ(out.wait_for(4, 0ms).size(), 3u);
    EXPECT_EQ(control_bytes(board), (std::vector<uint32_t>{3, 7, 7, 0}));
    signal_info last;
    video->get_status(last);   // the capture holds the last publication
    EXPECT_EQ(last.valid, 0);
    EXPECT_EQ(last.width, 0u);
    EXPECT_EQ(last.frame_rate_n, 60000u);
    EXPECT_EQ(last.frame_rate_d, 1001u);
    EXPECT_TRUE(board.fpga().guest_errors().empty());
}

TEST(track, follows_a_schedule_that_loses_and_regains_the_signal)
{
    auto config = test_board::small_config();
    config.clock = "stepped";
    config.settings["signal"] = "1080p59.94,5s:none,2s:1080i50";
    test_board board(config);
    stdout_lines out;
    auto hw = std::make_shared<hardware>();
    track tracker(hw, nullptr, nullptr);

    EXPECT_EQ(out.wait_for(1).at(0), "Signal : 1920x1080p59 1");
    board.fpga().step(4999ms);
    EXPECT_EQ(out.wait_for(2, 150ms).size(), 1u);
    board.fpga().step(1ms);
    EXPECT_EQ(out.wait_for(2).at(1), "Signal : 0x0p59 0");
    board.fpga().step(2s);
    EXPECT_EQ(out.wait_for(3).at(2), "Signal : 1920x540p50 1");
}

// Without a tracking interrupt on the board every wait fails at once; the
// thread must still wait out its slices rather than spin.
TEST(track, does_not_spin_when_the_board_has_no_tracking_interrupt)
{
    auto config = test_board::small_config();
    config.input_cores = false;
    config.output_cores = true;
    test_board board(config);
    stdout_lines out;
    auto hw = std::make_shared<hardware>();
    const std::clock_t cpu = std::clock();
    {
        track tracker(hw, nullptr, nullptr);
        EXPECT_EQ(out.wait_for(2, 300ms).size(), 1u);
    }
    EXPECT_LT(std::clock() - cpu, CLOCKS_PER_SEC / 10);
}
