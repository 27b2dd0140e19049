// The two video streams as the compressor keeps them apart: each its own
// quality factor, its own description in the questions it asks the runtime,
// its own retained picture; the quantiser tables against a reference of
// their own; the threads' names, priority and progress marks.
#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hw/hardware.h"
#include "hw/registers.h"
#include "ndi/network_send.h"
#include "tests/support/debug_capture.h"
#include "tests/support/loopback_sender.h"
#include "tests/support/test_board.h"
#include "tests/video/ndi_video_calls.h"
#include "video/video_compress.h"

namespace {

// The default intra quantiser matrix of MPEG-2, row by row, as published:
// written out here, apart from the program's copy, so that a wrong entry in
// either shows.
constexpr int reference_matrix[8][8] = {
    {8, 16, 19, 22, 26, 27, 29, 34},  {16, 16, 22, 24, 27, 29, 34, 37}, {19, 22, 26, 27, 29, 34, 34, 38},
    {22, 22, 26, 27, 29, 34, 37, 40}, {22, 26, 27, 29, 32, 35, 40, 48}, {26, 27, 29, 32, 35, 40, 48, 58},
    {26, 27, 29, 34, 38, 46, 56, 69}, {27, 29, 35, 38, 46, 56, 69, 83},
};

// The table for a scale: 2^19 over the step, to the nearest integer with
// halves up, at most 0x8000; entry 0 fixed at 0x8000.
std::vector<uint16_t> reference_table(int scale)
{
    std::vector<uint16_t> table(64);
    table[0] = 0x8000;
    for (int i = 1; i < 64; ++i) {
        const double step = double(scale) * reference_matrix[i / 8][i % 8];
        table[size_t(i)] = uint16_t(std::min(32768.0, std::floor(524288.0 / step + 0.5)));
    }
    return table;
}

constexpr uint32_t full_code = NDIlib_FourCC_video_type_SHQ2;
constexpr uint32_t preview_code = NDIlib_FourCC_video_type_shq2;

video_capture::frame_t picture(int32_t stream, uint32_t width, uint32_t height, int field = 2)
{
    video_capture::frame_t source;
    source.stream = stream;
    source.format = 0;
    source.width = width;
    source.height = height;
    source.stride = 2 * width;
    source.frame_rate_n = 50;
    source.frame_rate_d = 1;
    source.timestamp = 987654321;
    source.field = field;
    source.address = 0x10000000;
    return source;
}

// A compressor on a board of its own, with four cores and 32 MiB reserved.
// Its input is enabled only by the tests that run pairs through it.
struct compressor_on_board {
    compressor_on_board()
        : board([] {
              vfpga::board_config c = test_board::small_config();
              c.reserved_size = 32u << 20;
              return c;
          }())
    {
        ndi_video_calls::log().clear();
        compress = std::make_shared<video_compress>(hw, sender);
        // The compression thread's reset makes three writes to register 0 of
        // every core; the steps driven by hand come after it.
        EXPECT_TRUE(eventually([&] { return board.writes_to(regs::encoder_block(3), regs::control).size() == 3; }));
        board.fpga().clear_writes();
    }

    // The values of the last table loaded, as core 0 got them.
    std::vector<uint16_t> last_table()
    {
        const auto words = board.writes_to(regs::encoder_block(0), regs::encoder_quant_port);
        std::vector<uint16_t> values(64);
        if (words.size() < 64) {
            ADD_FAILURE() << "no table loaded";
            return values;
        }
        for (size_t k = words.size() - 64; k < words.size(); ++k) {
            const uint32_t word = words[k].value;
            values[(word >> regs::quant_entry_shift) & regs::quant_entry_mask] =
                uint16_t(word & regs::quant_value_mask);
        }
        return values;
    }

    test_board board;
    std::shared_ptr<hardware> hw = std::make_shared<hardware>();
    std::shared_ptr<network_send> sender = loopback_sender();
    std::shared_ptr<video_compress> compress;
};

std::string code_text(uint32_t fourcc)
{
    return std::string(reinterpret_cast<const char*>(&fourcc), 4);
}

}   // namespace

TEST(video_quantiser, every_entry_of_every_scale_matches_the_reference_table)
{
    for (int scale = 1; scale <= 100; ++scale) {
        uint16_t values[64];
        video_compress::build_reciprocals(scale, values);
        EXPECT_EQ(std::vector<uint16_t>(values, values + 64), reference_table(scale)) << "scale " << scale;
    }
}

// The runtime answers each stream's question apart; each picture is coded
// with its own stream's answer, a second field with its own stream's first.
TEST(video_streams, each_stream_is_coded_with_its_own_quality_factor)
{
    compressor_on_board on;
    ndi_video_calls::log().answer_q(
        [](const NDIlib_video_frame_v2_t& record) { return uint32_t(record.FourCC) == preview_code ? 70 : 30; });
    struct step {
        int32_t stream;
        int field;
        int q;
    };
    const step steps[] = {{0, 0, 30}, {1, 0, 70}, {0, 1, 30}, {1, 1, 70}, {1, 2, 70}, {0, 2, 30}};
    for (const step& s : steps) {
        SCOPED_TRACE(testing::Message() << "stream " << s.stream << " field " << s.field);
        auto frame =
            on.compress->prepare_frame(picture(s.stream, s.stream ? 640 : 1920, s.stream ? 360 : 1080, s.field));
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->q, s.q);
        EXPECT_EQ(on.compress->slot_q[frame->q_slot], s.q);
        // The table the cores hold in that slot is the stream's own.
        if (s.field == 0) {
            EXPECT_EQ(on.last_table(), reference_table(100 - s.q));
        }
    }
    std::vector<std::string> asked;
    for (const auto& record : ndi_video_calls::log().q_questions())
        asked.push_back(code_text(uint32_t(record.FourCC)));
    EXPECT_EQ(asked, (std::vector<std::string>{"SHQ2", "shq2", "shq2", "SHQ2"}));
}

// The two questions describe the picture differently: Q is asked about the
// coded picture and its time, the target size about the source's format.
TEST(video_streams, the_questions_describe_the_picture_field_by_field)
{
    compressor_on_board on;
    struct question_case {
        const char* name;
        video_capture::frame_t source;
        int coded_width;
        uint32_t code;
    };
    video_capture::frame_t narrow_420 = picture(0, 1000, 720);
    narrow_420.format = 1;
    narrow_420.stride = 1500;
    video_capture::frame_t preview = picture(1, 1000, 360);
    preview.frame_rate_n = 30000;
    preview.frame_rate_d = 1001;
    preview.timestamp = 42;
    const question_case cases[] = {
        {"4:2:2 full, partial width", picture(0, 1000, 720), 992, NDIlib_FourCC_video_type_SHQ2},
        {"4:2:0 full", narrow_420, 960, NDIlib_FourCC_video_type_SHQ0},
        {"4:2:2 preview", preview, 992, NDIlib_FourCC_video_type_shq2},
    };
    for (const question_case& c : cases) {
        SCOPED_TRACE(c.name);
        ndi_video_calls::log().clear();
        on.compress->stream_format[0] = {};
        on.compress->stream_format[1] = {};
        ASSERT_TRUE(on.compress->prepare_frame(c.source));
        const auto q = ndi_video_calls::log().q_questions();
        const auto size = ndi_video_calls::log().size_questions();
        ASSERT_EQ(q.size(), 1u);
        ASSERT_EQ(size.size(), 1u);

        EXPECT_EQ(q[0].xres, c.coded_width);
        EXPECT_EQ(q[0].yres, int(c.source.height));
        EXPECT_EQ(uint32_t(q[0].FourCC), c.code);
        EXPECT_EQ(q[0].frame_rate_N, int(c.source.frame_rate_n));
        EXPECT_EQ(q[0].frame_rate_D, int(c.source.frame_rate_d));
        EXPECT_EQ(q[0].timecode, c.source.timestamp);
        uint32_t aspect_bits = 0;
        memcpy(&aspect_bits, &q[0].picture_aspect_ratio, 4);
        EXPECT_EQ(aspect_bits, 0x3FE38E39u);
        EXPECT_EQ(q[0].frame_format_type, NDIlib_frame_format_type_progressive);
        EXPECT_EQ(q[0].p_data, nullptr);
        EXPECT_EQ(q[0].line_stride_in_bytes, 0);
        EXPECT_EQ(q[0].p_metadata, nullptr);
        EXPECT_EQ(q[0].timestamp, 0);

        EXPECT_EQ(size[0].xres, int(c.source.width));   // the source's width, not the coded one
        EXPECT_EQ(size[0].yres, int(c.source.height));
        EXPECT_EQ(uint32_t(size[0].FourCC), c.code);
        EXPECT_EQ(size[0].frame_rate_N, int(c.source.frame_rate_n));
        EXPECT_EQ(size[0].frame_rate_D, int(c.source.frame_rate_d));
        EXPECT_EQ(size[0].timecode, INT64_MAX);
        EXPECT_EQ(size[0].picture_aspect_ratio, 0.0f);
        EXPECT_EQ(size[0].frame_format_type, NDIlib_frame_format_type_progressive);
        EXPECT_EQ(size[0].p_data, nullptr);
        EXPECT_EQ(size[0].line_stride_in_bytes, 0);
        EXPECT_EQ(size[0].timestamp, 0);
    }
}

// A preview of its own size is programmed and sent at that size, not at
// the full picture's.
TEST(video_streams, a_preview_of_another_size_is_coded_and_sent_at_its_own_size)
{
    compressor_on_board on;
    auto full = on.compress->prepare_frame(picture(0, 1920, 1080));
    auto small = on.compress->prepare_frame(picture(1, 640, 360));
    ASSERT_TRUE(full && small);
    EXPECT_EQ(small->width, 640u);
    EXPECT_EQ(small->height, 360u);
    EXPECT_EQ(small->fourcc, preview_code);
    for (unsigned core = 0; core < 4; ++core) {
        SCOPED_TRACE(testing::Message() << "core " << core);
        EXPECT_EQ(on.board.writes_to(regs::encoder_block(core), regs::encoder_width).back().value, 640u);
        EXPECT_EQ(on.board.writes_to(regs::encoder_block(core), regs::encoder_height).back().value, 360u);
        EXPECT_EQ(on.board.writes_to(regs::encoder_block(core), regs::encoder_stride).back().value, 1280u);
    }
    // Its chunk is carved for its size, behind the full picture's.
    EXPECT_EQ(small->address, full->address + video_compress::chunk_bytes(1920, 1080));
    const auto record = network_send::video_record(*small);
    EXPECT_EQ(record.xres, 640);
    EXPECT_EQ(record.yres, 360);
    EXPECT_EQ(uint32_t(record.FourCC), preview_code);
}

// Each send thread hands its pictures to its own retained slot of the
// sender: once both threads have ended, the sender still holds the last
// picture of each stream, the full one as well as the preview.
TEST(video_streams, each_send_thread_keeps_its_stream_in_its_own_retained_slot)
{
    std::weak_ptr<video_compress::frame_t> full, preview;
    std::shared_ptr<network_send> sender;
    {
        compressor_on_board on;
        sender = on.sender;
        auto sent = [&](int32_t stream, std::weak_ptr<video_compress::frame_t>& kept, size_t count) {
            auto f = std::make_shared<video_compress::frame_t>();
            f->stream = stream;
            f->fourcc = stream ? preview_code : full_code;
            video_compress::assemble(*f);
            kept = f;
            on.compress->push_send(std::move(f));
            ASSERT_TRUE(ndi_video_calls::log().wait_for_pictures(count));
        };
        sent(0, full, 1);   // full first: a preview in the full slot would push it out
        sent(1, preview, 2);
        on.compress.reset();   // the send threads end and let go of theirs
        on.sender.reset();
    }
    EXPECT_FALSE(full.expired()) << "the full picture left its slot";
    EXPECT_FALSE(preview.expired()) << "the preview left its slot";
    sender.reset();
    EXPECT_TRUE(full.expired());
    EXPECT_TRUE(preview.expired());
}

namespace {

// The threads of this process by name, with their kernel ids.
std::multimap<std::string, pid_t> threads_by_name()
{
    std::multimap<std::string, pid_t> found;
    DIR* tasks = opendir("/proc/self/task");
    while (dirent* entry = tasks ? readdir(tasks) : nullptr) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name))
            found.emplace(name, pid_t(std::stol(entry->d_name)));
    }
    if (tasks)
        closedir(tasks);
    return found;
}

// Whether this process may make a thread real-time (root, or the right to).
bool may_use_real_time()
{
    bool granted = false;
    std::thread probe([&] {
        sched_param param{};
        param.sched_priority = sched_get_priority_min(SCHED_FIFO);
        granted = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
    });
    probe.join();
    return granted;
}

}   // namespace

TEST(video_threads, are_named_and_the_compression_thread_runs_at_the_highest_real_time_priority)
{
    debug_capture log(2);
    compressor_on_board on;
    // Each thread names itself as it starts.
    const std::vector<std::string> names = {"vidcomp", "vidcomp:copy", "send_full", "send_prvw"};
    auto named = [&] {
        const auto threads = threads_by_name();
        for (const std::string& name : names)
            if (threads.count(name) != 1)
                return false;
        return true;
    };
    EXPECT_TRUE(eventually(named)) << testing::PrintToString(threads_by_name());
    const auto threads = threads_by_name();
    const auto compressing = threads.find("vidcomp");
    ASSERT_NE(compressing, threads.end());
    // The priority comes right after the name.
    if (may_use_real_time()) {
        EXPECT_TRUE(eventually([&] { return sched_getscheduler(compressing->second) == SCHED_FIFO; }));
        sched_param param{};
        ASSERT_EQ(sched_getparam(compressing->second, &param), 0);
        EXPECT_EQ(param.sched_priority, sched_get_priority_max(SCHED_FIFO));
        EXPECT_EQ(log.text().find("Could not set thread priority"), std::string::npos);
    } else {
        EXPECT_TRUE(eventually([&] {
            return log.text().find("video_compress::compress_frames: Could not set thread priority!") !=
                std::string::npos;
        }));
    }
    // The other three run at normal priority.
    for (const char* name : {"vidcomp:copy", "send_full", "send_prvw"}) {
        const auto thread = threads.find(name);
        if (thread != threads.end()) {
            EXPECT_EQ(sched_getscheduler(thread->second), SCHED_OTHER) << name;
        }
    }
}

// The compression thread's marks for a pair: "P" or "p" as it takes it
// (level 5), "C" as it starts the cores (5), "+" as it acknowledges them (3):
// once per picture coded.
TEST(video_threads, the_compression_thread_marks_each_pair_and_each_picture_it_codes)
{
    debug_capture log(5);
    compressor_on_board on;
    ndi_video_calls::log().answer_q([](const NDIlib_video_frame_v2_t&) { return 80; });
    on.compress->enable();
    log.clear();
    auto pair_of = [](bool preview) {
        auto pair = std::make_shared<video_capture::frame_pair_t>();
        pair->full = std::make_shared<video_capture::frame_t>(picture(0, 640, 360));
        if (preview) {
            pair->preview = std::make_shared<video_capture::frame_t>(picture(1, 320, 180));
            pair->preview->address = 0x10800000;
        }
        return pair;
    };
    on.compress->push_frame(pair_of(false));
    ASSERT_TRUE(ndi_video_calls::log().wait_for_pictures(1));
    on.compress->push_frame(pair_of(true));
    ASSERT_TRUE(ndi_video_calls::log().wait_for_pictures(3));
    EXPECT_EQ(log.marks("PpC+"), "pC+PC+C+");
    on.compress.reset();
    EXPECT_TRUE(on.board.take_guest_errors().empty());
}
