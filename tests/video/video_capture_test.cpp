#include "video/video_capture.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "hw/hardware.h"
#include "hw/registers.h"
#include "sim/cores/preview_input_core.h"
#include "sim/cores/video_input_core.h"
#include "sim/cores/video_pattern.h"
#include "tests/support/test_board.h"
#include "tests/video/video_test_support.h"
#include "video/video_compress.h"

namespace {

constexpr uint32_t MiB = 1u << 20;

vfpga::board_config config_with(uint32_t video_size, const std::string& clock = "fast",
                                const std::string& signal = "1080p60")
{
    vfpga::board_config config = test_board::small_config();
    config.video_size = video_size;
    config.clock = clock;
    config.settings["signal"] = signal;
    return config;
}

signal_info signal_1080p60()
{
    signal_info s;
    s.valid = 1;
    s.width = 1920;
    s.height = 1080;
    s.frame_rate_n = 60000;
    s.frame_rate_d = 1000;
    return s;
}

// Writes of one byte lane of one register, as values.
std::vector<uint32_t> lane_writes(test_board& board, uint32_t block, unsigned reg, unsigned lane)
{
    std::vector<uint32_t> values;
    for (const auto& w : board.writes_to(block, reg))
        if (w.width == 1 && w.lane() == lane)
            values.push_back(w.value);
    return values;
}

std::vector<uint32_t> word_writes(test_board& board, uint32_t block, unsigned reg)
{
    std::vector<uint32_t> values;
    for (const auto& w : board.writes_to(block, reg))
        if (w.width == 4)
            values.push_back(w.value);
    return values;
}

size_t arms(test_board& board, uint32_t block)
{
    size_t n = 0;
    for (uint32_t v : lane_writes(board, block, regs::control, regs::lane_command))
        n += v == regs::command_arm;
    return n;
}

// A capture made on a board, driven by hand (no thread).
struct capture_on_board {
    explicit capture_on_board(vfpga::board_config config = config_with(64 * MiB), bool full_only = false)
        : board(config), hw(std::make_shared<hardware>()),
          capture(std::make_shared<video_capture>(hw, 0, nullptr, &full_only))
    {
    }

    test_board board;
    std::shared_ptr<hardware> hw;
    std::shared_ptr<video_capture> capture;
};

}  // namespace

TEST(video_capture_format, preview_geometry_and_codes_follow_the_width_rules)
{
    struct row {
        int32_t format;
        uint32_t width, height, stride;
        uint32_t preview_width, preview_height, preview_stride;
        uint8_t preview_mode, format_code;
        bool preview_enabled;
    };
    const row rows[] = {
        {0, 1920, 1080, 3840, 640, 360, 1280, 1, 1, true},
        {0, 1280, 720, 2560, 640, 360, 1280, 0, 1, true},
        {0, 1920, 540, 3840, 640, 180, 1280, 1, 1, true},
        {0, 720, 576, 1440, 720, 576, 1440, 0, 1, false},
        {0, 721, 576, 1442, 360, 288, 721, 0, 1, true},
        {0, 1281, 720, 2562, 640, 360, 1281, 0, 1, true},
        {0, 1282, 720, 2564, 427, 240, 854, 1, 1, true},
        {1, 2563, 1440, 3844, 640, 360, 961, 0, 4, true},
        {1, 2564, 1440, 3846, 427, 240, 641, 1, 4, true},
        {1, 1920, 1080, 2880, 480, 270, 720, 0, 4, true},
    };
    capture_on_board normal;
    capture_on_board full_only(config_with(64 * MiB), true);
    for (const row& r : rows) {
        SCOPED_TRACE("format " + std::to_string(r.format) + " width " + std::to_string(r.width));
        video_capture& c = *normal.capture;
        c.set_format(r.format, r.width, r.height, r.stride, 60000, 1000);
        EXPECT_EQ(c.width, r.width);
        EXPECT_EQ(c.stride, r.stride);
        EXPECT_EQ(c.preview_width, r.preview_width);
        EXPECT_EQ(c.preview_height, r.preview_height);
        EXPECT_EQ(c.preview_stride, r.preview_stride);
        EXPECT_EQ(c.preview_mode, r.preview_mode);
        EXPECT_EQ(c.format_code, r.format_code);
        EXPECT_EQ(c.preview_enabled, r.preview_enabled);

        full_only.capture->set_format(r.format, r.width, r.height, r.stride, 60000, 1000);
        EXPECT_FALSE(full_only.capture->preview_enabled);
        EXPECT_EQ(full_only.capture->preview_mode, r.preview_mode);
    }
}

TEST(video_capture_ring, wraps_to_the_base_when_a_buffer_would_pass_the_end)
{
    capture_on_board ten(config_with(10 * MiB));
    video_capture& c = *ten.capture;
    const uint32_t base = c.memory_base;
    ASSERT_EQ(c.memory_size, 10 * MiB);
    c.set_format(0, 1920, 1080, 3840, 60000, 1000);
    EXPECT_EQ(c.make_frame(0)->address, base);
    EXPECT_EQ(c.make_frame(0)->address, base + 4 * MiB);
    EXPECT_EQ(c.make_frame(0)->address, base);   // base + 12 MiB would pass the end
    EXPECT_EQ(c.memory_next, base + 4 * MiB);
    // The preview takes a whole MiB for its 640 x 360.
    EXPECT_EQ(c.make_frame(1)->address, base + 4 * MiB);
    EXPECT_EQ(c.memory_next, base + 5 * MiB);

    capture_on_board twelve(config_with(12 * MiB));
    video_capture& d = *twelve.capture;
    d.set_format(0, 1920, 1080, 3840, 60000, 1000);
    EXPECT_EQ(d.make_frame(0)->address, d.memory_base);
    EXPECT_EQ(d.make_frame(0)->address, d.memory_base + 4 * MiB);
    EXPECT_EQ(d.make_frame(0)->address, d.memory_base + 8 * MiB);   // ends exactly at the end
    EXPECT_EQ(d.make_frame(0)->address, d.memory_base);
}

TEST(video_capture_ring, refuses_a_range_smaller_than_one_full_picture)
{
    test_board board(config_with(3 * MiB));
    auto hw = std::make_shared<hardware>();
    try {
        video_capture capture(hw, 0, nullptr, nullptr);
        FAIL() << "a 3 MiB range was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("cannot hold one 1920x1080 frame buffer"), std::string::npos)
            << e.what();
    }
    capture_on_board four(config_with(4 * MiB));   // exactly one buffer is enough
    EXPECT_EQ(four.capture->memory_size, 4 * MiB);
}

TEST(video_capture_frames, records_carry_the_format_and_the_stream_geometry)
{
    capture_on_board on;
    video_capture& c = *on.capture;
    c.set_format(0, 1280, 720, 2560, 50000, 1000);
    auto full = c.make_frame(0);
    auto preview = c.make_frame(1);
    EXPECT_EQ(full->block, int32_t(regs::video_in_block));
    EXPECT_EQ(preview->block, int32_t(regs::preview_in_block));
    EXPECT_EQ(full->stream, 0);
    EXPECT_EQ(preview->stream, 1);
    EXPECT_EQ(preview->width, 640u);
    EXPECT_EQ(preview->stride, 1280u);
    EXPECT_EQ(preview->frame_rate_n, 50000u);
    EXPECT_EQ(full->field, 2);
    EXPECT_EQ(full->timestamp, 0);
}

TEST(video_capture_frames, interlaced_records_take_the_field_from_the_core)
{
    // The signal is there from the board's start: picture 1 (a second
    // field) is the next to begin, and a period later picture 2, a first.
    capture_on_board on(config_with(64 * MiB, "stepped", "1080i59.94"));
    video_capture& c = *on.capture;
    c.set_format(0, 1920, 540, 3840, 60000, 1001);
    c.interlaced = true;
    EXPECT_EQ(c.make_frame(0)->field, 1);
    EXPECT_EQ(c.make_frame(1)->field, 1);   // the preview reads vid_in's bit too
    on.board.fpga().step(std::chrono::nanoseconds(on.board.fpga().input().period_ns()));
    EXPECT_EQ(c.make_frame(0)->field, 0);
}

TEST(video_capture_frames, preview_cadence_follows_scan_and_full_only)
{
    auto previews = [](video_capture& c, int pairs) {
        std::string seen;
        for (int i = 0; i < pairs; ++i)
            seen += c.make_frame_pair()->preview ? 'P' : '-';
        return seen;
    };
    capture_on_board on;
    video_capture& c = *on.capture;
    c.set_format(0, 1920, 1080, 3840, 60000, 1000);
    EXPECT_EQ(previews(c, 6), "-P-P-P");
    c.interlaced = true;
    EXPECT_EQ(previews(c, 3), "PPP");

    capture_on_board only(config_with(64 * MiB), true);
    video_capture& f = *only.capture;
    f.set_format(0, 1920, 1080, 3840, 60000, 1000);
    std::vector<uint32_t> counts;
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(f.make_frame_pair()->preview);
        counts.push_back(f.preview_count);
    }
    EXPECT_EQ(counts, (std::vector<uint32_t>{1, 0, 1, 0}));
}

TEST(video_capture_frames, a_preview_without_buffer_never_reaches_the_preview_core)
{
    capture_on_board on;
    video_capture& c = *on.capture;
    c.set_format(0, 720, 576, 1440, 50000, 1000);   // preview disabled
    c.interlaced = true;                            // so every pair has a preview
    on.hw->write_reg8(regs::video_in_block, regs::control, regs::lane_mode, c.format_code);
    on.board.fpga().clear_writes();
    for (int i = 0; i < 3; ++i) {
        auto pair = c.make_frame_pair();
        ASSERT_TRUE(pair->preview);
        EXPECT_EQ(pair->preview->address, video_capture::no_buffer);
        c.set_buffers(*pair);
        c.arm_capture(*pair);
        EXPECT_EQ(word_writes(on.board, regs::video_in_block, regs::video_buffer).back(), pair->full->address);
    }
    EXPECT_EQ(c.memory_next, c.memory_base + 3 * MiB);   // the previews took no memory
    EXPECT_TRUE(on.board.writes_to(regs::preview_in_block, regs::video_buffer).empty());
    EXPECT_TRUE(lane_writes(on.board, regs::preview_in_block, regs::control, regs::lane_command).empty());
    EXPECT_EQ(arms(on.board, regs::video_in_block), 3u);
    EXPECT_TRUE(on.board.fpga().guest_errors().empty());
}

TEST(video_capture_frames, restart_needs_both_cores_idle_and_no_pending_event)
{
    capture_on_board on(config_with(64 * MiB, "stepped"));
    video_capture& c = *on.capture;
    hardware& hw = *on.hw;
    auto* video = on.board.fpga().model<vfpga::video_input_core>();
    ASSERT_NE(video, nullptr);
    c.set_format(0, 1920, 1080, 3840, 60000, 1000);
    hw.write_reg8(regs::video_in_block, regs::control, regs::lane_mode, c.format_code);
    hw.write_reg8(regs::preview_in_block, regs::control, regs::lane_mode, c.preview_mode);
    EXPECT_TRUE(c.cores_idle());

    auto pair = c.make_frame_pair();
    c.set_buffers(*pair);
    c.arm_capture(*pair);
    EXPECT_FALSE(c.cores_idle());   // vid_in busy

    ASSERT_TRUE(eventually([&] { return video->capture_end().has_value(); }));
    on.board.fpga().step(*video->capture_end() - on.board.fpga().clock().now());
    ASSERT_TRUE(eventually([&] { return units_completed(on.board.fpga(), *video) == 1; }));
    EXPECT_FALSE(c.cores_idle());   // idle, but its event is pending
    hw.write_reg8(regs::video_in_block, regs::control, regs::lane_events, regs::events_clear);
    EXPECT_TRUE(c.cores_idle());

    hw.write_reg32(regs::preview_in_block, regs::video_buffer, c.memory_base);
    hw.write_reg8(regs::preview_in_block, regs::control, regs::lane_mode, 1);
    hw.write_reg8(regs::preview_in_block, regs::control, regs::lane_command, regs::command_arm);
    EXPECT_FALSE(c.cores_idle());   // pvw_in busy
    EXPECT_TRUE(on.board.fpga().guest_errors().empty());
}

TEST(video_capture_signal, get_status_returns_what_set_signal_stored)
{
    capture_on_board on;
    signal_info in = signal_1080p60();
    in.reserved0 = 5;
    in.reserved1 = 7;
    in.interlaced = 1;
    on.capture->set_signal(in);
    signal_info out;
    out.reserved1 = -1;
    on.capture->get_status(out);
    EXPECT_EQ(out.valid, 1);
    EXPECT_EQ(out.width, 1920u);
    EXPECT_EQ(out.height, 1080u);
    EXPECT_EQ(out.interlaced, 1);
    EXPECT_EQ(out.reserved0, 5);
    EXPECT_EQ(out.reserved1, -1);   // never copied out
    EXPECT_EQ(out.frame_rate_d, 1000u);
}

// The capture thread against the virtual cores, on a stepped clock.
class capture_thread_test : public testing::Test {
protected:
    capture_thread_test()
        : log(5), board(config_with(64 * MiB, "stepped")), hw(std::make_shared<hardware>()),
          compress(std::make_shared<video_compress>(hw, nullptr)),
          capture(std::make_shared<video_capture>(hw, 0, compress, nullptr)),
          video(board.fpga().model<vfpga::video_input_core>()),
          preview(board.fpga().model<vfpga::preview_input_core>())
    {
        compress->enable();
        board.fpga().clear_writes();
    }

    ~capture_thread_test() override
    {
        capture.reset();
        compress.reset();
    }

    vfpga::model_clock::duration period() { return std::chrono::nanoseconds(board.fpga().input().period_ns()); }

    // Lets the picture being captured complete once the thread has armed
    // `armed` buffers at vid_in, and waits until it has handed on `pushed`.
    void complete_picture(size_t armed, size_t pushed)
    {
        ASSERT_TRUE(eventually([&] { return arms(board, regs::video_in_block) == armed; }));
        const auto now = board.fpga().clock().now();
        ASSERT_TRUE(eventually([&] {
            auto end = video->capture_end();
            return end && *end > now && preview_timed();
        }));
        board.fpga().step(*video->capture_end() - now);
        ASSERT_TRUE(eventually([&] { return log.count('.') == pushed; }))
            << "pushed " << log.count('.') << ", marks " << log.marks("R.qb!");
    }

    // pvw_in, when armed, has timed its picture too: stepping the clock
    // cannot overtake it.
    bool preview_timed()
    {
        const bool busy = (hw->read_reg32(regs::preview_in_block, regs::control) & regs::state_mask) != 0;
        return !busy || preview->capture_end();
    }

    // Waits until the thread has armed `armed` buffers at vid_in: all it
    // did for the pairs before is then done.
    void settle(size_t armed)
    {
        ASSERT_TRUE(eventually([&] { return arms(board, regs::video_in_block) == armed; }));
    }

    void set_input(const std::string& name)
    {
        std::lock_guard<std::mutex> lock(board.fpga().mutex());
        board.fpga().set_input(*vfpga::video_signal::parse(name));
    }

    debug_capture log;
    test_board board;
    std::shared_ptr<hardware> hw;
    std::shared_ptr<video_compress> compress;
    std::shared_ptr<video_capture> capture;
    vfpga::video_input_core* video;
    vfpga::preview_input_core* preview;
};

TEST_F(capture_thread_test, only_resets_the_cores_until_started_and_stops_without_start)
{
    capture->start_thread();
    ASSERT_TRUE(eventually([&] { return word_writes(board, regs::preview_in_block, regs::control).size() == 1; }));
    std::vector<std::string> seen;
    for (const auto& w : board.fpga().writes()) {
        char text[48];
        snprintf(text, sizeof text, "%03x.%u=%02x/%u", w.index(), w.lane(), w.value, w.width);
        seen.push_back(text);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"200.0=80/1", "210.0=80/1", "200.3=c0/1", "210.3=c0/1",
                                              "200.0=00/4", "210.0=00/4"}));
    // Never started: the destructor must still end the thread, which
    // leaves the cores stopped.
    capture.reset();
    EXPECT_EQ(word_writes(board, regs::video_in_block, regs::control), (std::vector<uint32_t>{0, 0}));
    EXPECT_TRUE(board.writes_to(regs::video_in_block, regs::video_buffer).empty());
    EXPECT_EQ(log.count('R'), 0u);
}

TEST_F(capture_thread_test, hands_on_pairs_in_order_filled_at_the_ring_addresses)
{
    capture->set_signal(signal_1080p60());
    capture->start_thread();
    capture->start();
    // Two pairs are armed at the restart; each picture completes one and
    // the thread arms one more.
    for (size_t k = 1; k <= 5; ++k)
        complete_picture(k + 1, k);
    settle(7);

    // Progressive: previews ride with every second pair; with nobody taking
    // from the input queue it keeps the newest three, dropping two.
    EXPECT_EQ(log.marks("R.qb!"), "R.q.b.q.b!.q!");

    const uint32_t base = capture->memory_base;
    const std::vector<uint32_t> full = word_writes(board, regs::video_in_block, regs::video_buffer);
    const std::vector<uint32_t> preview = word_writes(board, regs::preview_in_block, regs::video_buffer);
    // Pair n's full buffer, then its preview (1 MiB) when it has one.
    EXPECT_EQ(full, (std::vector<uint32_t>{base, base + 4 * MiB, base + 9 * MiB, base + 13 * MiB, base + 18 * MiB,
                                           base + 22 * MiB, base + 27 * MiB}));
    EXPECT_EQ(preview, (std::vector<uint32_t>{base + 8 * MiB, base + 17 * MiB, base + 26 * MiB}));

    // The five pairs handed on hold five consecutive pictures.
    for (size_t k = 0; k < 5; ++k) {
        auto stamp = stamp_at(board.fpga(), full[k]);
        ASSERT_TRUE(stamp) << "pair " << k + 1;
        EXPECT_EQ(stamp->number, uint32_t(k + 1));
        EXPECT_EQ(stamp->width, 1920);
        EXPECT_EQ(stamp->field, 2);
    }
    // Pair 4's preview is the same picture, a third the size. (Pair 2's was
    // armed while vid_in still waited for its first picture, so it got
    // that one.)
    auto scaled = stamp_at(board.fpga(), preview[1]);
    ASSERT_TRUE(scaled);
    EXPECT_EQ(scaled->number, 4u);
    EXPECT_EQ(scaled->width, 640);
    EXPECT_EQ(scaled->scale, 3);
    EXPECT_TRUE(board.fpga().guest_errors().empty());
}

TEST_F(capture_thread_test, losing_the_signal_stops_the_capture_and_its_return_restarts_it)
{
    capture->set_signal(signal_1080p60());
    capture->start_thread();
    capture->start();
    complete_picture(2, 1);
    complete_picture(3, 2);
    const auto picture = period();

    // The input goes away: the pictures armed are never captured.
    set_input("none");
    signal_info lost;
    capture->set_signal(lost);
    ASSERT_TRUE(eventually([&] { return !video->capture_end(); }));
    const uint64_t done = units_completed(board.fpga(), *video);
    board.fpga().step(10 * picture);
    EXPECT_EQ(units_completed(board.fpga(), *video), done);

    // It comes back: the armed pair completes, and with the tracker's valid
    // description the thread captures on.
    set_input("1080p60");
    capture->set_signal(signal_1080p60());
    complete_picture(4, 3);
    complete_picture(5, 4);
    settle(6);
    const std::vector<uint32_t> full = word_writes(board, regs::video_in_block, regs::video_buffer);
    uint32_t previous = 0;
    for (size_t k = 0; k < 4; ++k) {
        auto stamp = stamp_at(board.fpga(), full[k]);
        ASSERT_TRUE(stamp);
        EXPECT_GT(stamp->number, previous) << "pair " << k + 1;
        previous = stamp->number;
    }
    EXPECT_EQ(log.count('R'), 1u);   // the cores kept their pairs: no restart needed
}

TEST_F(capture_thread_test, restarts_once_both_cores_ran_dry_while_the_signal_was_invalid)
{
    capture->set_signal(signal_1080p60());
    capture->start_thread();
    capture->start();
    complete_picture(2, 1);

    // The tracker reports no signal: the thread hands on the picture in
    // progress, then leaves the cores alone, which finish the queued pair
    // and run dry.
    capture->set_signal(signal_info{});
    complete_picture(3, 2);
    const uint64_t done = units_completed(board.fpga(), *video);
    board.fpga().step(period());
    ASSERT_TRUE(eventually([&] { return units_completed(board.fpga(), *video) == done + 1; }));
    EXPECT_FALSE(video->capture_end());

    // A valid signal again: both cores idle, so the thread restarts with
    // two new pairs.
    capture->set_signal(signal_1080p60());
    ASSERT_TRUE(eventually([&] { return log.count('R') == 2; }));
    complete_picture(5, 3);
    complete_picture(6, 4);
    settle(7);
    EXPECT_EQ(log.marks("R.qb!"), "R.q.bR.b.q!");
}
