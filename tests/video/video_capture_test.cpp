#include "video/video_capture.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/utilities.h"
#include "hw/hardware.h"
#include "hw/registers.h"
#include "sim/cores/preview_input_core.h"
#include "sim/cores/video_input_core.h"
#include "tests/support/loopback_sender.h"
#include "tests/support/test_board.h"
#include "tests/video/ndi_video_calls.h"
#include "tests/video/video_test_support.h"
#include "video/video_compress.h"

namespace {

constexpr uint32_t MiB = 1u << 20;
constexpr int word = -1;

vfpga::board_config config_with(uint32_t video_size, const std::string& clock = "fast",
                                const std::string& signal = "1080p60")
{
    vfpga::board_config config = test_board::small_config();
    config.reserved_size = 32 * MiB;   // the compressor's output ring
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

// The values written to one register: whole words, or bytes of one lane.
std::vector<uint32_t> writes(test_board& board, uint32_t block, unsigned reg, int lane)
{
    std::vector<uint32_t> values;
    for (const auto& w : board.writes_to(block, reg))
        if (lane == word ? w.width == 4 : w.width == 1 && int(w.lane()) == lane)
            values.push_back(w.value);
    return values;
}

size_t arms(test_board& board, uint32_t block)
{
    const auto commands = writes(board, block, regs::control, regs::lane_command);
    return size_t(std::count(commands.begin(), commands.end(), regs::command_arm));
}

// A capture on a board, its steps driven by hand.
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

}   // namespace

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
        {0, 1920, 1080, 3840, 640, 360, 1280, 1, 1, true}, {0, 1920, 540, 3840, 640, 180, 1280, 1, 1, true},
        {0, 720, 576, 1440, 720, 576, 1440, 0, 1, false},  {0, 721, 576, 1442, 360, 288, 721, 0, 1, true},
        {0, 1281, 720, 2562, 640, 360, 1281, 0, 1, true},  {0, 1282, 720, 2564, 427, 240, 854, 1, 1, true},
        {1, 2563, 1440, 3844, 640, 360, 961, 0, 4, true},  {1, 2564, 1440, 3846, 427, 240, 641, 1, 4, true},
    };
    capture_on_board normal;
    capture_on_board full_only(config_with(64 * MiB), true);
    for (const row& r : rows) {
        SCOPED_TRACE("format " + std::to_string(r.format) + " width " + std::to_string(r.width));
        video_capture& c = *normal.capture;
        c.set_format(r.format, r.width, r.height, r.stride, 60000, 1000);
        EXPECT_EQ(c.preview_width, r.preview_width);
        EXPECT_EQ(c.preview_height, r.preview_height);
        EXPECT_EQ(c.preview_stride, r.preview_stride);
        EXPECT_EQ(c.preview_mode, r.preview_mode);
        EXPECT_EQ(c.format_code, r.format_code);
        EXPECT_EQ(c.preview_enabled, r.preview_enabled);
        full_only.capture->set_format(r.format, r.width, r.height, r.stride, 60000, 1000);
        EXPECT_FALSE(full_only.capture->preview_enabled);
    }
}

TEST(video_capture_ring, wraps_to_the_base_when_a_buffer_would_pass_the_end)
{
    capture_on_board ten(config_with(10 * MiB));
    video_capture& c = *ten.capture;
    const uint32_t base = c.memory_base;
    c.set_format(0, 1920, 1080, 3840, 60000, 1000);
    EXPECT_EQ(c.make_frame(0)->address, base);
    EXPECT_EQ(c.make_frame(0)->address, base + 4 * MiB);
    EXPECT_EQ(c.make_frame(0)->address, base);             // base + 12 MiB would pass the end
    EXPECT_EQ(c.make_frame(1)->address, base + 4 * MiB);   // a 640 x 360 preview takes 1 MiB
    EXPECT_EQ(c.memory_next, base + 5 * MiB);

    capture_on_board twelve(config_with(12 * MiB));
    video_capture& d = *twelve.capture;
    d.set_format(0, 1920, 1080, 3840, 60000, 1000);
    for (uint32_t offset : {0u, 4 * MiB, 8 * MiB, 0u})   // the third ends exactly at the end
        EXPECT_EQ(d.make_frame(0)->address, d.memory_base + offset);
}

TEST(video_capture_ring, refuses_a_range_smaller_than_one_full_picture)
{
    test_board board(config_with(3 * MiB));
    auto hw = std::make_shared<hardware>();
    try {
        video_capture capture(hw, 0, nullptr, nullptr);
        FAIL() << "a 3 MiB range was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("cannot hold one 1920x1080 frame buffer"), std::string::npos);
    }
    capture_on_board four(config_with(4 * MiB));   // one buffer is enough
    EXPECT_EQ(four.capture->memory_size, 4 * MiB);
}

TEST(video_capture_frames, interlaced_records_take_the_field_from_the_core)
{
    // The signal is there from the board's start: field 1 (a second field)
    // begins next, and a period later field 2, a first field.
    capture_on_board on(config_with(64 * MiB, "stepped", "1080i59.94"));
    video_capture& c = *on.capture;
    c.set_format(0, 1920, 540, 3840, 60000, 1001);
    EXPECT_EQ(c.make_frame(0)->field, 2);
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
    on.capture->set_format(0, 1920, 1080, 3840, 60000, 1000);
    EXPECT_EQ(previews(*on.capture, 6), "-P-P-P");
    on.capture->interlaced = true;
    EXPECT_EQ(previews(*on.capture, 3), "PPP");

    capture_on_board only(config_with(64 * MiB), true);
    video_capture& f = *only.capture;
    f.set_format(0, 1920, 1080, 3840, 60000, 1000);
    for (uint32_t count : {1u, 0u, 1u, 0u}) {
        EXPECT_FALSE(f.make_frame_pair()->preview);
        EXPECT_EQ(f.preview_count, count);
    }
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
        EXPECT_EQ(writes(on.board, regs::video_in_block, regs::video_buffer, word).back(), pair->full->address);
    }
    EXPECT_EQ(c.memory_next, c.memory_base + 3 * MiB);   // the previews took no memory
    EXPECT_TRUE(on.board.writes_to(regs::preview_in_block, regs::video_buffer).empty());
    EXPECT_EQ(arms(on.board, regs::preview_in_block), 0u);
    EXPECT_EQ(arms(on.board, regs::video_in_block), 3u);
    EXPECT_TRUE(on.board.fpga().guest_errors().empty());
}

TEST(video_capture_frames, restart_needs_both_cores_idle_and_no_pending_event)
{
    capture_on_board on(config_with(64 * MiB, "stepped"));
    video_capture& c = *on.capture;
    hardware& hw = *on.hw;
    auto* video = on.board.fpga().model<vfpga::video_input_core>();
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
    hw.write_reg8(regs::preview_in_block, regs::control, regs::lane_command, regs::command_arm);
    EXPECT_FALSE(c.cores_idle());   // pvw_in busy
    EXPECT_TRUE(on.board.fpga().guest_errors().empty());
}

// The capture thread against the virtual cores, on a stepped clock, feeding
// the compressor. What it hands on is seen where the compressor takes it:
// the input queue's marks ("b" a pair with a preview, "q" one without, in
// queue order), and for each picture coded the buffer the encoder cores are
// given (their source register) and the time the compressor asks the NDI
// runtime's rate control about (the pair's stamp).
//
// The board keeps a core log, which end_board() has it write: every arm of
// a core with the thread that wrote it and that thread's calls into the
// board so far.
class capture_thread_test : public testing::Test {
protected:
    capture_thread_test()
        : log(5), owned_board(std::make_unique<test_board>([&] {
              vfpga::board_config config = config_with(64 * MiB, "stepped");
              config.settings["core_log"] = core_log.path;
              return config;
          }())),
          board(*owned_board), hw(std::make_shared<hardware>()),
          compress(std::make_shared<video_compress>(hw, loopback_sender())),
          capture(std::make_shared<video_capture>(hw, 0, compress, nullptr)),
          video(board.fpga().model<vfpga::video_input_core>()),
          preview(board.fpga().model<vfpga::preview_input_core>()), period(board.fpga().input().period_ns())
    {
        ndi_video_calls::log().clear();
        compress->enable();
        board.fpga().clear_writes();
    }

    ~capture_thread_test() override
    {
        capture.reset();
        compress.reset();
    }

    void start(const signal_info& signal = signal_1080p60())
    {
        capture->set_signal(signal);
        capture->start_thread();
        capture->start();
    }

    // Once the thread has armed `armed` buffers at vid_in, lets the picture
    // being captured complete and waits until `pushed` pairs were handed on.
    void complete_picture(size_t armed, size_t pushed)
    {
        settle(armed);
        const auto now = board.fpga().clock().now();
        ASSERT_TRUE(eventually([&] {
            const auto end = video->capture_end();
            // Asked of the model, not the bus: a read of the state here
            // would stand in for one the thread owes the core.
            bool preview_busy = false;
            {
                std::lock_guard<std::mutex> lock(board.fpga().mutex());
                preview_busy = preview->unit_in_progress() != nullptr;
            }
            return end && *end > now && (!preview_busy || preview->capture_end());
        }));
        board.fpga().step(*video->capture_end() - now);
        ASSERT_TRUE(eventually([&] { return log.count('.') == pushed; })) << log.marks("R.");
        code_handed_on();
    }

    // The encoder cores work on the board's clock too, while the compressor
    // gives them up after half a second of real time. Left to wait for the
    // next picture's step, it would drop a picture now and then, and on a
    // slow machine (the emulator) the pairs behind it would overflow its
    // queue. So the clock moves on in small steps, short of the end of the
    // picture being captured, until the compressor is done with every
    // picture handed on: coded, or dropped with its cores reset.
    void code_handed_on()
    {
        const std::string handed_on = previews();
        const size_t pictures = handed_on.size() + size_t(std::count(handed_on.begin(), handed_on.end(), 'P'));
        const auto step = std::chrono::microseconds(100);
        ASSERT_TRUE(eventually([&] {
            if (log.count('+') + compress->counters().encoder_resets >= pictures)
                return true;
            const auto end = video->capture_end();
            const auto now = board.fpga().clock().now();
            if (end && *end - now > step)
                board.fpga().step(step);
            return false;
        })) << log.count('+')
            << " of " << pictures << " pictures coded";
    }

    // Waits until `armed` buffers were armed at vid_in: what the thread did
    // for the pairs before is then done.
    void settle(size_t armed)
    {
        ASSERT_TRUE(eventually([&] { return arms(board, regs::video_in_block) == armed; }));
    }

    void set_input(const std::string& name)
    {
        std::lock_guard<std::mutex> lock(board.fpga().mutex());
        board.fpga().set_input(*vfpga::video_signal::parse(name));
    }

    std::vector<uint32_t> picture_numbers(size_t pairs)
    {
        std::vector<uint32_t> numbers;
        const auto full = writes(board, regs::video_in_block, regs::video_buffer, word);
        for (size_t k = 0; k < pairs; ++k) {
            const auto stamp = stamp_at(board.fpga(), full.at(k));
            numbers.push_back(stamp ? stamp->number : 0);
        }
        return numbers;
    }

    // One letter a pair handed on, in order: P with a preview, - without.
    std::string previews() const
    {
        std::string letters = log.marks("bq");
        std::replace(letters.begin(), letters.end(), 'b', 'P');
        std::replace(letters.begin(), letters.end(), 'q', '-');
        return letters;
    }

    // A pair as the compressor took it: its pictures' buffers and stamps.
    struct taken_pair {
        uint32_t full = 0;
        int64_t full_time = 0;
        std::optional<uint32_t> preview;   // a preview with a buffer of its own
        int64_t preview_time = 0;
    };

    // Stops the capture, then moves the clock on until the compressor has
    // taken every pair handed on (the cores run on the board's clock), and
    // gives those pairs in order. Every pair of these inputs has a preview
    // buffer when it has a preview, which is coded on its own.
    std::vector<taken_pair> taken_pairs()
    {
        capture.reset();
        const std::string handed_on = previews();
        const size_t pictures = handed_on.size() + size_t(std::count(handed_on.begin(), handed_on.end(), 'P'));
        auto sources = [&] { return writes(board, regs::encoder_block(0), regs::encoder_source, word); };
        EXPECT_TRUE(eventually([&] {
            if (sources().size() >= pictures && ndi_video_calls::log().q_questions().size() >= pictures)
                return true;
            board.fpga().step(period);
            return false;
        })) << sources().size()
            << " of " << pictures << " pictures taken";
        const auto source = sources();
        const auto asked = ndi_video_calls::log().q_questions();
        std::vector<taken_pair> pairs;
        size_t next = 0;
        for (char letter : handed_on) {
            if (next >= source.size() || next >= asked.size())
                break;
            taken_pair pair;
            pair.full = source[next];
            pair.full_time = asked[next++].timecode;
            if (letter == 'P' && next < source.size() && next < asked.size()) {
                pair.preview = source[next];
                pair.preview_time = asked[next++].timecode;
            }
            pairs.push_back(pair);
        }
        return pairs;
    }

    // Ends the capture, the compressor and the board, which writes its core
    // log then. The board must not be used afterwards.
    void end_board()
    {
        capture.reset();
        compress.reset();
        hw.reset();
        owned_board.reset();
    }

    // Every pvw_in arm in the core log (end_board first) checked against the
    // arm its thread wrote before it, which must be vid_in's, with no more
    // than calls_between_arms calls of that thread into the board between
    // the two. Returns how many pvw_in arms it checked.
    size_t check_arms_back_to_back()
    {
        struct arm {
            std::string core;
            long thread = 0;
            unsigned long long call = 0;
        };
        std::vector<arm> arms_logged;
        std::ifstream in(core_log.path);
        for (std::string line; std::getline(in, line);) {
            std::istringstream fields(line);
            std::string time, what;
            arm a;
            if (fields >> time >> a.core >> what >> a.thread >> a.call && what == "start")
                arms_logged.push_back(a);
        }
        size_t checked = 0;
        for (size_t i = 0; i < arms_logged.size(); ++i) {
            const arm& preview_arm = arms_logged[i];
            if (preview_arm.core != "pvw_in")
                continue;
            ++checked;
            SCOPED_TRACE("pvw_in arm " + std::to_string(checked));
            const arm* before = nullptr;
            for (size_t j = i; j-- > 0 && !before;)
                if (arms_logged[j].thread == preview_arm.thread)
                    before = &arms_logged[j];
            if (!before) {
                ADD_FAILURE() << "no arm of its thread before it";
                continue;
            }
            EXPECT_EQ(before->core, "vid_in");
            EXPECT_LE(preview_arm.call - before->call - 1, calls_between_arms)
                << "calls of the capture thread between vid_in's arm and pvw_in's";
        }
        return checked;
    }

    // The program's own part in the time between a pair's two arms: none.
    static constexpr unsigned long long calls_between_arms = 0;

    // A file of its own for the core log, which outlives the board's root.
    struct scratch_file {
        scratch_file()
        {
            char name[] = "/tmp/capture-core-log-XXXXXX";
            const int fd = mkstemp(name);
            if (fd >= 0)
                close(fd);
            path = name;
        }
        ~scratch_file() { std::remove(path.c_str()); }
        std::string path;
    };

    debug_capture log;
    scratch_file core_log;
    std::unique_ptr<test_board> owned_board;
    test_board& board;
    std::shared_ptr<hardware> hw;
    std::shared_ptr<video_compress> compress;
    std::shared_ptr<video_capture> capture;
    vfpga::video_input_core* video;
    vfpga::preview_input_core* preview;
    const std::chrono::nanoseconds period;
};

TEST_F(capture_thread_test, only_resets_the_cores_until_started_and_stops_without_start)
{
    capture->start_thread();
    ASSERT_TRUE(eventually([&] { return writes(board, regs::preview_in_block, regs::control, word).size() == 1; }));
    std::vector<std::string> seen;
    for (const auto& w : board.fpga().writes()) {
        if (w.index() < regs::video_in_block || w.index() >= regs::preview_in_block + 16)
            continue;   // the compressor's own start
        seen.push_back(std::to_string(w.index() - regs::video_in_block) + "." + std::to_string(w.lane()) + "=" +
                       std::to_string(w.value) + "/" + std::to_string(w.width));
    }
    EXPECT_EQ(seen,
              (std::vector<std::string>{"0.0=128/1", "16.0=128/1", "0.3=192/1", "16.3=192/1", "0.0=0/4", "16.0=0/4"}));
    // Never started: the destructor must still end the thread, which
    // leaves the cores stopped.
    capture.reset();
    EXPECT_EQ(writes(board, regs::video_in_block, regs::control, word), (std::vector<uint32_t>{0, 0}));
    EXPECT_EQ(log.count('R'), 0u);
}

TEST_F(capture_thread_test, hands_on_pairs_in_order_filled_at_the_ring_addresses)
{
    const int64_t started_at = timestamp_100ns();
    start();
    // Two pairs are armed at the restart; each picture completes one and
    // the thread arms one more.
    for (size_t k = 1; k <= 5; ++k)
        complete_picture(k + 1, k);
    settle(7);
    // Progressive: a preview rides with every second pair.
    EXPECT_EQ(log.marks("R."), "R.....");
    EXPECT_EQ(previews(), "-P-P-");

    // Pair n's full buffer, then its 1 MiB preview when it has one.
    const uint32_t base = capture->memory_base;
    EXPECT_EQ(writes(board, regs::video_in_block, regs::video_buffer, word),
              (std::vector<uint32_t>{base, base + 4 * MiB, base + 9 * MiB, base + 13 * MiB, base + 18 * MiB,
                                     base + 22 * MiB, base + 27 * MiB}));
    const auto preview_buffers = writes(board, regs::preview_in_block, regs::video_buffer, word);
    EXPECT_EQ(preview_buffers, (std::vector<uint32_t>{base + 8 * MiB, base + 17 * MiB, base + 26 * MiB}));

    EXPECT_EQ(picture_numbers(5), (std::vector<uint32_t>{1, 2, 3, 4, 5}));

    // Pair 4's preview is its picture, a third the size. (Pair 2's preview
    // was armed before vid_in's first picture began, so it got that one.)
    const auto scaled = stamp_at(board.fpga(), preview_buffers[1]);
    ASSERT_TRUE(scaled);
    EXPECT_EQ(scaled->number, 4u);
    EXPECT_EQ(scaled->width, 640);

    // Each pair handed on is the one its picture filled, stamped once: the
    // preview carries its full picture's time, and time moves on.
    const auto pairs = taken_pairs();
    const auto full = writes(board, regs::video_in_block, regs::video_buffer, word);
    ASSERT_EQ(pairs.size(), 5u);
    int64_t last = started_at;
    size_t with_preview = 0;
    for (size_t k = 0; k < pairs.size(); ++k) {
        SCOPED_TRACE("pair " + std::to_string(k));
        const taken_pair& pair = pairs[k];
        EXPECT_EQ(pair.full, full[k]);
        EXPECT_GT(pair.full_time, last);
        last = pair.full_time;
        if (pair.preview) {
            EXPECT_EQ(*pair.preview, preview_buffers.at(with_preview++));
            EXPECT_EQ(pair.preview_time, pair.full_time);
        }
    }
    EXPECT_EQ(with_preview, 2u);
    EXPECT_LE(last, timestamp_100ns());
    EXPECT_TRUE(board.fpga().guest_errors().empty());

    // The two arms of a pair follow each other with nothing of the
    // program's between them: a picture can come between them only when
    // the host holds the thread there.
    end_board();
    EXPECT_EQ(check_arms_back_to_back(), 3u);
}

TEST_F(capture_thread_test, losing_the_signal_stops_the_capture_and_its_return_resumes_it)
{
    start();
    complete_picture(2, 1);
    complete_picture(3, 2);
    settle(4);   // the thread has done with the picture it handed on

    // The input goes away: the pictures armed are never captured.
    set_input("none");
    capture->set_signal(signal_info{});
    ASSERT_TRUE(eventually([&] { return !video->capture_end(); }));
    const uint64_t done = units_completed(board.fpga(), *video);
    board.fpga().step(10 * period);
    EXPECT_EQ(units_completed(board.fpga(), *video), done);

    // It comes back: the armed pairs complete and, with the tracker's valid
    // description, the thread captures on without a restart.
    set_input("1080p60");
    capture->set_signal(signal_1080p60());
    complete_picture(4, 3);
    complete_picture(5, 4);
    settle(6);
    const auto numbers = picture_numbers(4);
    EXPECT_EQ(std::adjacent_find(numbers.begin(), numbers.end(), std::greater_equal<>()), numbers.end())
        << "not increasing: " << testing::PrintToString(numbers);
    EXPECT_EQ(log.count('R'), 1u);
}

TEST_F(capture_thread_test, restarts_once_both_cores_ran_dry_while_the_signal_was_invalid)
{
    start();
    complete_picture(2, 1);
    settle(3);   // the thread has done with the picture it handed on
    // The tracker reports no signal: the thread hands on the picture in
    // progress, then leaves the cores alone; they finish the queued pair.
    capture->set_signal(signal_info{});
    complete_picture(3, 2);
    const uint64_t done = units_completed(board.fpga(), *video);
    board.fpga().step(period);
    ASSERT_TRUE(eventually([&] { return units_completed(board.fpga(), *video) == done + 1; }));

    // Valid again: both cores idle, so the thread restarts with two pairs.
    capture->set_signal(signal_1080p60());
    ASSERT_TRUE(eventually([&] { return log.count('R') == 2; }));
    complete_picture(5, 3);
    complete_picture(6, 4);
    settle(7);
    EXPECT_EQ(log.marks("R."), "R..R..");
    EXPECT_EQ(previews(), "-PP-");

    // The first pair handed on after the restart is the one armed at the
    // restart, holding the first picture since; the pair the cores filled
    // while the signal was invalid is left behind.
    const auto full = writes(board, regs::video_in_block, regs::video_buffer, word);
    const auto pairs = taken_pairs();
    ASSERT_EQ(pairs.size(), 4u);
    EXPECT_EQ(pairs[1].full, full.at(1));
    EXPECT_EQ(pairs[2].full, full.at(3));
    const auto left_behind = stamp_at(board.fpga(), full.at(2));
    const auto after_restart = stamp_at(board.fpga(), full.at(3));
    ASSERT_TRUE(left_behind && after_restart);
    EXPECT_GT(after_restart->number, left_behind->number);
}

TEST_F(capture_thread_test, a_stop_while_waiting_hands_on_no_unfilled_pair)
{
    start();
    complete_picture(2, 1);
    settle(3);
    const size_t handed_on = log.count('.');
    // The next picture never comes: the stop ends the wait, and the pair
    // the cores were filling holds only what the ring had before.
    capture.reset();
    EXPECT_EQ(log.count('.'), handed_on);
    EXPECT_EQ(writes(board, regs::video_in_block, regs::control, word).back(), 0u);
}

// Fields: every pair carries a preview, so the thread re-arms both cores
// while they are busy, each after reading its state twice.
TEST_F(capture_thread_test, interlaced_input_rearms_both_busy_cores_as_they_require)
{
    set_input("1080i59.94");
    signal_info fields = signal_1080p60();
    fields.height = 540;
    fields.interlaced = 1;
    fields.frame_rate_d = 1001;
    start(fields);
    for (size_t k = 1; k <= 4; ++k)
        complete_picture(k + 1, k);
    settle(6);
    EXPECT_EQ(log.marks("R."), "R....");
    EXPECT_EQ(previews(), "PPPP");
    EXPECT_EQ(arms(board, regs::preview_in_block), 6u);
    EXPECT_TRUE(board.take_guest_errors().empty());
    end_board();
    EXPECT_EQ(check_arms_back_to_back(), 6u);
}
