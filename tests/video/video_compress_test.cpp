// video_compress: the queues, the per-picture steps against the register
// window of a virtual board, and what is handed on to the NDI sender.
#include "video/video_compress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "hw/hardware.h"
#include "hw/registers.h"
#include "ndi/network_send.h"
#include "tests/support/loopback_sender.h"
#include "tests/support/test_board.h"
#include "tests/video/ndi_video_calls.h"
#include "tests/video/video_test_support.h"

namespace {

using frame_t = video_compress::frame_t;

constexpr uint32_t chunk_1080 = 4247552;
constexpr uint32_t slice_1080 = 1060928;

std::shared_ptr<video_capture::frame_pair_t> pair_with_preview(bool preview)
{
    auto pair = std::make_shared<video_capture::frame_pair_t>();
    pair->full = std::make_shared<video_capture::frame_t>();
    if (preview)
        pair->preview = std::make_shared<video_capture::frame_t>();
    return pair;
}

std::shared_ptr<frame_t> coded(int32_t stream)
{
    auto frame = std::make_shared<frame_t>();
    frame->stream = stream;
    return frame;
}

video_capture::frame_t source_picture(int32_t format, uint32_t width, uint32_t height, int32_t stream = 0)
{
    video_capture::frame_t source;
    source.stream = stream;
    source.format = format;
    source.width = width;
    source.height = height;
    source.stride = format == 1 ? width + width / 2 : 2 * width;
    source.frame_rate_n = 60000;
    source.frame_rate_d = 1001;
    source.timestamp = 123456789;
    source.field = 2;
    source.address = 0x10000000;
    return source;
}

// A board whose ring holds the pictures in flight: 32 MiB reserved.
vfpga::board_config board_with(int encoders, uint32_t platform = 0x80010500)
{
    vfpga::board_config config = test_board::small_config();
    config.reserved_size = 32u << 20;
    config.encoders = encoders;
    config.platform = platform;
    return config;
}

const std::string queue_marks = "bq!n@fF#$xX";

// A compressor on a board of its own. Its input is not enabled, so the test
// drives the per-picture steps itself once "vidcomp" has reset the cores.
struct compressor_on_board {
    explicit compressor_on_board(vfpga::board_config config = board_with(4)) : board(config)
    {
        ndi_video_calls::log().clear();
        compress = std::make_shared<video_compress>(hw, sender);
        const uint32_t last = regs::encoder_block(unsigned(compress->cores() - 1));
        // The reset makes three writes to register 0 of every core.
        EXPECT_TRUE(eventually([&] { return board.writes_to(last, regs::control).size() == 3; }));
        board.fpga().clear_writes();
    }

    test_board board;
    std::shared_ptr<hardware> hw = std::make_shared<hardware>();
    std::shared_ptr<network_send> sender = loopback_sender();
    std::shared_ptr<video_compress> compress;
};

std::vector<uint8_t> bytes_of(const frame_t& frame)
{
    return {frame.data.get(), frame.data.get() + frame.size};
}

// Register writes of one block, in order, as (register, value).
std::vector<std::pair<unsigned, uint32_t>> words_to(test_board& board, uint32_t block)
{
    std::vector<std::pair<unsigned, uint32_t>> found;
    for (const auto& w : board.fpga().writes())
        if (w.index() >= block && w.index() < block + 16)
            found.emplace_back(w.index() - block, w.value);
    return found;
}

// Tables loaded so far: 64 entries each, counted at core 0.
size_t table_loads(test_board& board)
{
    return board.writes_to(regs::encoder_block(0), regs::encoder_quant_port).size() / 64;
}

}   // namespace

// "vidcomp" held in its Q question with the first pair: the pairs behind
// it queue up.
TEST(video_compress_queues, drops_pairs_before_enable_and_bounds_the_input_queue)
{
    debug_capture log(5);
    compressor_on_board on(board_with(0));
    ndi_video_calls::q_hold_guard held_in_rate_control;
    auto early = pair_with_preview(true);
    on.compress->push_frame(early);
    EXPECT_EQ(early.use_count(), 1);   // not kept, not marked
    on.compress->enable();
    on.compress->push_frame(pair_with_preview(false));
    ASSERT_TRUE(ndi_video_calls::log().wait_for_q_questions(1));
    for (int i = 0; i < 5; ++i)
        on.compress->push_frame(pair_with_preview(i % 2 == 1));
    EXPECT_EQ(log.marks(queue_marks), "qqbqb!q!");
    // An empty pair is queued unmarked, and it too pushes out the oldest.
    on.compress->push_frame(nullptr);
    EXPECT_EQ(log.marks(queue_marks), "qqbqb!q!!");
    // Three full pictures dropped, and the preview of one of them.
    const video_compress::counters_t counted = on.compress->counters();
    EXPECT_EQ(counted.stream[0].dropped, 3u);
    EXPECT_EQ(counted.stream[1].dropped, 1u);
    EXPECT_EQ(counted.stream[0].sent + counted.stream[1].sent, 0u);
}

TEST(video_compress_queues, a_picture_whose_chunk_is_still_in_use_is_dropped_with_its_mark)
{
    debug_capture log(2);
    compressor_on_board on;
    // Chunks handed out until the ring is full, none of them read.
    frame_t held;
    held.width = 1920;
    held.height = 1080;
    int chunks = 0;
    while (on.compress->allocate_chunk(held))
        ++chunks;
    EXPECT_EQ(chunks, 7);   // 32 MiB
    log.clear();
    on.compress->enable();
    // A full picture with a preview that reuses its slices: both go.
    auto pair = std::make_shared<video_capture::frame_pair_t>();
    pair->full = std::make_shared<video_capture::frame_t>(source_picture(0, 1920, 1080));
    pair->preview = std::make_shared<video_capture::frame_t>(source_picture(0, 640, 360, 1));
    pair->preview->address = video_capture::no_buffer;
    on.compress->push_frame(pair);
    // The mark is written where the ring is found full, the counts after it.
    ASSERT_TRUE(eventually([&] {
        const video_compress::counters_t counted = on.compress->counters();
        return counted.stream[0].dropped == 1 && counted.stream[1].dropped == 1;
    }));
    // Neither coded over live data nor asked about.
    EXPECT_TRUE(on.board.writes_to(regs::encoder_block(0), regs::encoder_output).empty());
    EXPECT_TRUE(ndi_video_calls::log().q_questions().empty());
    EXPECT_EQ(log.text(), "&");
}

TEST(video_compress_queues, only_drops_are_logged_at_the_default_level)
{
    debug_capture log(2);
    compressor_on_board on(board_with(0));
    on.compress->enable();
    log.clear();
    ndi_video_calls::hold_guard hold;
    ndi_video_calls::q_hold_guard held_in_rate_control;
    // Every consumer busy with a first entry: "vidcomp" in its Q question,
    // both send threads held in their send.
    on.compress->push_frame(pair_with_preview(false));
    ASSERT_TRUE(ndi_video_calls::log().wait_for_q_questions(1));
    on.compress->push_send(coded(0));
    on.compress->push_send(coded(1));
    ASSERT_TRUE(ndi_video_calls::log().wait_for_pictures(2));
    for (int i = 0; i < 4; ++i) {
        on.compress->push_frame(pair_with_preview(false));
        on.compress->push_send(coded(0));
        on.compress->push_send(coded(1));
    }
    EXPECT_EQ(log.text(), "!#$");
}

TEST(video_compress_queues, send_frames_are_sorted_by_stream_and_the_stop_marker_is_unbounded)
{
    {
        debug_capture log(5);
        compressor_on_board on(board_with(0));
        ndi_video_calls::hold_guard hold;
        // Each send thread takes its first picture and is held in the send;
        // three more queue behind each.
        on.compress->push_send(coded(0));
        ASSERT_TRUE(ndi_video_calls::log().wait_for_pictures(1));
        on.compress->push_send(coded(7));   // any stream but 0 is the preview
        ASSERT_TRUE(ndi_video_calls::log().wait_for_pictures(2));
        for (int i = 0; i < 3; ++i) {
            on.compress->push_send(coded(0));
            on.compress->push_send(coded(1));
        }
        on.compress->push_send(nullptr);
        EXPECT_EQ(log.marks(queue_marks), "fFfFfFfFxX");   // nothing dropped for the markers
        on.compress->push_send(coded(0));
        on.compress->push_send(coded(1));
        // Four entries each now: the next push drops two to get back to three.
        EXPECT_EQ(log.marks(queue_marks), "fFfFfFfFxXf##F$$");
    }
}

TEST(video_compress_queues, destruction_pushes_the_stop_markers_in_pipeline_order)
{
    debug_capture log(5);
    auto on = std::make_unique<compressor_on_board>(board_with(0));
    ndi_video_calls::q_hold_guard held_in_rate_control;
    on->compress->enable();
    on->compress->push_frame(pair_with_preview(false));
    ASSERT_TRUE(ndi_video_calls::log().wait_for_q_questions(1));
    for (int i = 0; i < 3; ++i)
        on->compress->push_frame(pair_with_preview(false));
    // "vidcomp" goes on once the destructor has asked it to stop (its
    // marker pushed out the oldest pair); its cores never answer.
    std::thread release([&] {
        eventually([&] { return log.count('!') == 1; });
        held_in_rate_control.release();
    });
    on.reset();
    release.join();
    // The input queue's marker costs its oldest pair; the cores never
    // answered, so nothing was coded; then the compressed queue's marker,
    // then both send queues'.
    EXPECT_EQ(log.marks(queue_marks), "qqqq!nxX");
    EXPECT_NE(log.text().find("\n video_compress Destructor"), std::string::npos);
}

TEST(video_compress_setup, counts_the_cores_by_their_presence_registers)
{
    struct case_t {
        int encoders;
        unsigned also_present;   // a presence register set by hand (0: none)
        int counted;
    };
    const case_t cases[] = {
        {4, 0, 4}, {2, 0, 2}, {1, 0, 1}, {1, 3, 4},   // index 207 alone decides four cores
        {2, 2, 2},                                    // three cores count as two
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.encoders << " models, core " << c.also_present << " set by hand");
        test_board board(board_with(c.encoders));
        if (c.also_present)
            board.fpga().set_unowned(regs::encoder_block(c.also_present) + regs::encoder_present, 1);
        debug_capture log(4);
        auto hw = std::make_shared<hardware>();
        auto compress = std::make_shared<video_compress>(hw, loopback_sender());
        EXPECT_EQ(compress->cores(), c.counted);
        EXPECT_NE(log.text().find("Found " + std::to_string(c.counted) + " encoder cores\n"), std::string::npos);
    }
}

TEST(video_compress_setup, resets_every_core_step_by_step_at_thread_start)
{
    test_board board(board_with(2));
    auto hw = std::make_shared<hardware>();
    auto compress = std::make_shared<video_compress>(hw, loopback_sender());
    ASSERT_TRUE(eventually([&] { return board.writes_to(64, regs::control).size() == 3; }));
    // Core 0, core 1 for each step; the interrupt is enabled between the
    // second and the third step.
    std::vector<vfpga::reg_write> expected = {
        {0x003, 0xC0, 1}, {0x103, 0xC0, 1}, {0x000, 0, 4}, {0x100, 0, 4}, {0x002, 0xC0, 1}, {0x102, 0xC0, 1},
    };
    const auto writes = board.fpga().writes();
    ASSERT_EQ(writes.size(), expected.size());
    for (size_t i = 0; i < writes.size(); ++i) {
        EXPECT_EQ(writes[i].offset, expected[i].offset) << i;
        EXPECT_EQ(writes[i].value, expected[i].value) << i;
        EXPECT_EQ(writes[i].width, expected[i].width) << i;
    }
}

TEST(video_compress_setup, refuses_an_output_ring_too_small_for_the_pictures_in_flight)
{
    vfpga::board_config config = board_with(4);
    config.reserved_size = 24u << 20;   // five 1080p chunks, six needed
    test_board board(config);
    auto hw = std::make_shared<hardware>();
    try {
        video_compress compress(hw, loopback_sender());
        FAIL() << "constructed";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("cannot hold the 6 chunks of 1920x1080 pictures"), std::string::npos)
            << e.what();
    }
}

TEST(video_compress_steps, coded_width_format_and_code_follow_the_source)
{
    struct case_t {
        int32_t format, stream;
        uint32_t width;
        uint32_t coded;
        int32_t partial;
        const char* fourcc;
    };
    const case_t cases[] = {
        {1, 0, 1000, 960, 0, "SHQ0"},  {0, 0, 1000, 992, 1, "SHQ2"}, {0, 0, 1920, 1920, 0, "SHQ2"},
        {1, 1, 1920, 1920, 0, "shq0"}, {0, 1, 640, 640, 0, "shq2"},  {0, 7, 1280, 1280, 0, "SHQ2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "format " << c.format << " stream " << c.stream << " width " << c.width);
        video_capture::frame_t source = source_picture(c.format, c.width, 540, c.stream);
        source.field = 1;
        const auto frame = video_compress::make_compressed_frame(source);
        EXPECT_EQ(frame->width, c.coded);
        EXPECT_EQ(frame->width_partial, c.partial);
        EXPECT_EQ(frame->format, c.format == 1 ? 1 : 0);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&frame->fourcc), 4), c.fourcc);
        EXPECT_EQ(frame->address, video_compress::no_chunk);
        EXPECT_EQ(frame->height, 540u);
        EXPECT_EQ(frame->stride, source.stride);
        EXPECT_EQ(frame->timestamp, source.timestamp);
        EXPECT_EQ(frame->field, 1);
        EXPECT_EQ(frame->stream, c.stream);
    }
}

TEST(video_compress_steps, chunks_are_carved_in_order_and_wrap_only_past_the_end)
{
    compressor_on_board on;
    video_compress& c = *on.compress;
    frame_t frame;
    frame.width = 1920;
    frame.height = 1080;
    c.allocate_chunk(frame);
    EXPECT_EQ(frame.address, 0u);
    EXPECT_EQ(frame.core_bytes, slice_1080);   // four cores: one slice each
    EXPECT_EQ(c.dma_cursor, chunk_1080);

    // Three chunks that end exactly at the ring's end, then a wrap once the
    // copy thread has read the first.
    c.dma_base = 0x1000;
    c.dma_size = 3 * chunk_1080;
    c.dma_cursor = c.dma_base;
    c.chunks_out = 0;
    std::vector<uint32_t> starts;
    for (int i = 0; i < 4; ++i) {
        if (i == 3)
            c.release_chunks_before(frame);
        ASSERT_TRUE(c.allocate_chunk(frame));
        starts.push_back(frame.address);
    }
    EXPECT_EQ(starts, (std::vector<uint32_t>{0x1000, 0x1000 + chunk_1080, 0x1000 + 2 * chunk_1080, 0x1000}));
    // One byte less and the third chunk no longer fits.
    c.dma_size = 3 * chunk_1080 - 1;
    c.dma_cursor = c.dma_base;
    c.chunks_out = 0;
    starts.clear();
    for (int i = 0; i < 3; ++i) {
        if (i == 2)
            c.release_chunks_before(frame);
        ASSERT_TRUE(c.allocate_chunk(frame));
        starts.push_back(frame.address);
    }
    EXPECT_EQ(starts, (std::vector<uint32_t>{0x1000, 0x1000 + chunk_1080, 0x1000}));
}

TEST(video_compress_steps, a_chunk_is_not_handed_out_again_until_the_copy_thread_has_read_it)
{
    compressor_on_board on;
    video_compress& c = *on.compress;
    c.dma_base = 0x1000;
    c.dma_size = 3 * chunk_1080 + 4096;   // three chunks and a tail too short for a fourth
    c.dma_cursor = c.dma_base;
    frame_t chunk[3];
    for (frame_t& f : chunk) {
        f.width = 1920;
        f.height = 1080;
        ASSERT_TRUE(c.allocate_chunk(f));
    }
    frame_t next;
    next.width = 1920;
    next.height = 1080;
    auto refused = [&] {
        const uint32_t cursor = c.dma_cursor;
        const bool taken = c.allocate_chunk(next);
        return !taken && next.address == video_compress::no_chunk && c.dma_cursor == cursor;
    };
    // Nothing read: the wrap would code over the first picture.
    EXPECT_TRUE(refused());
    // The copy thread takes the first: it is still being read.
    c.release_chunks_before(chunk[0]);
    EXPECT_TRUE(refused());
    // It takes the second: the first is free, the second is not.
    c.release_chunks_before(chunk[1]);
    ASSERT_TRUE(c.allocate_chunk(next));
    EXPECT_EQ(next.address, chunk[0].address);
    frame_t after;
    after.width = 1920;
    after.height = 1080;
    EXPECT_FALSE(c.allocate_chunk(after));
    // A picture dropped before anything read it gives its chunk back.
    c.give_back_chunk(next);
    next.address = video_compress::no_chunk;
    ASSERT_TRUE(c.allocate_chunk(next));
    EXPECT_EQ(next.address, chunk[0].address);
    // Once the copy thread has gone on to the newest, the ring is open up to it.
    c.release_chunks_before(next);
    ASSERT_TRUE(c.allocate_chunk(after));
    EXPECT_EQ(after.address, chunk[1].address);
    ASSERT_TRUE(c.allocate_chunk(after));
    EXPECT_EQ(after.address, chunk[2].address);
    EXPECT_FALSE(c.allocate_chunk(after)) << "the wrap reaches the chunk being read";
}

TEST(video_compress_steps, a_core_codes_all_four_slices_of_its_share_with_fewer_cores)
{
    for (int encoders : {1, 2}) {
        SCOPED_TRACE(testing::Message() << encoders << " cores");
        compressor_on_board on(board_with(encoders));
        frame_t frame;
        frame.width = 1920;
        frame.height = 1080;
        on.compress->allocate_chunk(frame);
        EXPECT_EQ(frame.core_bytes, uint32_t(4 / encoders) * slice_1080);
    }
}

TEST(video_compress_steps, reciprocal_tables_round_two_to_the_nineteenth_over_the_step)
{
    uint16_t v[64];
    video_compress::build_reciprocals(50, v);
    EXPECT_EQ(v[0], 0x8000);
    EXPECT_EQ(v[1], 655);
    EXPECT_EQ(v[2], 552);
    EXPECT_EQ(v[63], 126);
    video_compress::build_reciprocals(1, v);
    EXPECT_EQ(v[1], 32768);
    EXPECT_EQ(v[2], 27594);
    EXPECT_EQ(v[63], 6317);
    video_compress::build_reciprocals(100, v);
    EXPECT_EQ(v[1], 328);
    EXPECT_EQ(v[63], 63);
}

TEST(video_compress_steps, a_table_is_written_entry_by_entry_to_every_core)
{
    compressor_on_board on(board_with(2));
    uint16_t v[64];
    video_compress::build_reciprocals(50, v);
    on.compress->load_quant_table(3, v);
    const auto writes = on.board.fpga().writes();
    ASSERT_EQ(writes.size(), 128u);
    EXPECT_EQ(writes[0].index(), regs::encoder_block(0) + regs::encoder_quant_port);
    EXPECT_EQ(writes[1].index(), regs::encoder_block(1) + regs::encoder_quant_port);
    EXPECT_EQ(writes[2].value, 0x8C10028Fu);   // slot 3, entry 1, 655
    EXPECT_EQ(writes[3].value, 0x8C10028Fu);
    EXPECT_EQ(writes[127].value, regs::quant_word(3, 63, v[63]));
}

TEST(video_compress_steps, the_slot_cache_reloads_a_q_only_when_it_left_the_five_latest)
{
    struct case_t {
        std::vector<int> cycle;
        int frames;
        size_t loads;
    };
    const case_t cases[] = {
        {{10, 20}, 12, 2},
        {{10, 20, 30, 40, 50}, 15, 5},
        {{10, 20, 30, 40, 50, 60}, 18, 18},
        {{70}, 5, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.cycle.size() << " values in turn");
        debug_capture log(3);
        compressor_on_board on(board_with(1));
        log.clear();
        for (int i = 0; i < c.frames; ++i) {
            frame_t frame;
            const int q = c.cycle[size_t(i) % c.cycle.size()];
            on.compress->select_quant_slot(frame, q);
            EXPECT_EQ(frame.q, q);
            EXPECT_EQ(on.compress->slot_q[frame.q_slot], q);
        }
        EXPECT_EQ(table_loads(on.board), c.loads);
        if (c.cycle.size() == 2) {
            EXPECT_EQ(log.text(), "Q10:0Q20:1");
        }
    }
}

TEST(video_compress_steps, each_core_is_programmed_with_its_slices_and_share)
{
    struct case_t {
        int cores;
        std::vector<uint32_t> control;   // register 3 of each core, slot 3
    };
    const case_t cases[] = {
        {4, {0x0003, 0x1103, 0x2203, 0x3303}},
        {2, {0x1003, 0x3203}},
        {1, {0x3003}},
    };
    for (bool cyclone : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << c.cores << " cores" << (cyclone ? " on the Altera bridge" : ""));
            compressor_on_board on(board_with(c.cores, cyclone ? 0x01010000 : 0x80010500));
            on.hw->translate_addresses = true;
            video_capture::frame_t source = source_picture(0, 1920, 1080);
            auto frame = video_compress::make_compressed_frame(source);
            frame->q_slot = 3;
            on.compress->allocate_chunk(*frame);
            on.compress->allocate_chunk(*frame);   // a chunk that does not start at 0
            on.compress->program_cores(*frame, source.address);
            const uint32_t x = on.hw->bus_address(frame->address);
            EXPECT_EQ(bool(x & 0x80000000u), cyclone);
            for (int i = 0; i < c.cores; ++i) {
                const auto words = words_to(on.board, regs::encoder_block(unsigned(i)));
                const std::vector<std::pair<unsigned, uint32_t>> expected = {
                    {3, c.control[size_t(i)]},
                    {4, 0x10000000},   // physical, never translated
                    {5, x + uint32_t(i) * frame->core_bytes},
                    {6, 1920},
                    {7, 1080},
                    {8, 3840},
                };
                EXPECT_EQ(words, expected) << "core " << i;
            }
        }
    }
    // The format and partial-width bits.
    EXPECT_EQ(regs::encoder_control(3, 2, 2, true, false), 0x12203u);
    EXPECT_EQ(regs::encoder_control(3, 2, 2, false, true), 0x22203u);
}

TEST(video_compress_steps, rate_control_asks_once_per_picture_and_clamps_what_it_gets)
{
    compressor_on_board on(board_with(1));
    std::vector<int> answers = {150, -5, 42, 77};
    size_t next = 0;
    ndi_video_calls::log().answer_q([&](const NDIlib_video_frame_v2_t&) { return answers[next++]; });
    video_capture::frame_t source = source_picture(0, 1920, 540);
    std::vector<int> coded_q;
    for (int field : {0, 1, 0, 1, 2, 2}) {
        source.field = field;
        coded_q.push_back(on.compress->prepare_frame(source)->q);
    }
    // A second field keeps its first field's Q without asking.
    EXPECT_EQ(coded_q, (std::vector<int>{99, 99, 0, 0, 42, 77}));
    const auto asked = ndi_video_calls::log().q_questions();
    ASSERT_EQ(asked.size(), 4u);
    EXPECT_EQ(asked[0].xres, 1920);
    EXPECT_EQ(asked[0].yres, 540);
    EXPECT_EQ(uint32_t(asked[0].FourCC), uint32_t(NDIlib_FourCC_video_type_SHQ2));
    EXPECT_EQ(asked[0].timecode, source.timestamp);
    EXPECT_EQ(asked[0].p_data, nullptr);
    EXPECT_EQ(asked[0].frame_format_type, NDIlib_frame_format_type_progressive);
    uint32_t aspect_bits = 0;
    memcpy(&aspect_bits, &asked[0].picture_aspect_ratio, 4);
    EXPECT_EQ(aspect_bits, 0x3FE38E39u);
}

TEST(video_compress_steps, the_target_size_is_asked_when_a_stream_changes_format)
{
    compressor_on_board on(board_with(1));
    video_capture::frame_t full = source_picture(0, 1000, 720);
    video_capture::frame_t preview = source_picture(0, 640, 360, 1);
    on.compress->prepare_frame(full);
    on.compress->prepare_frame(full);
    on.compress->prepare_frame(preview);
    on.compress->prepare_frame(preview);
    full.frame_rate_d = 1000;   // the rate alone
    on.compress->prepare_frame(full);
    on.compress->prepare_frame(preview);
    const auto asked = ndi_video_calls::log().size_questions();
    ASSERT_EQ(asked.size(), 3u);
    EXPECT_EQ(asked[0].xres, 1000);   // the source's width, not the coded one
    EXPECT_EQ(asked[0].timecode, INT64_MAX);
    EXPECT_EQ(uint32_t(asked[1].FourCC), uint32_t(NDIlib_FourCC_video_type_shq2));
    EXPECT_EQ(asked[2].frame_rate_D, 1000);
}

TEST(video_compress_read_back, trims_trailing_zeros_keeping_one_after_a_top_bit)
{
    test_board board(board_with(0));
    board.fpga().set_unowned(regs::encoder_block(3) + regs::encoder_present, 1);
    auto hw = std::make_shared<hardware>();
    auto compress = std::make_shared<video_compress>(hw, loopback_sender());
    ASSERT_EQ(compress->cores(), 4);
    auto frame = video_compress::make_compressed_frame(source_picture(0, 1920, 1080));
    frame->q = 0x1AB;   // only the low byte goes into the header
    compress->allocate_chunk(*frame);
    uint8_t* share[4];
    for (int i = 0; i < 4; ++i)
        share[i] = hw->cpu_address(frame->address + uint32_t(i) * frame->core_bytes);
    // Slice 0: 40 bytes reported, the last 10 zero after a 0x7F.
    // Slice 1: the same after 0x80: one zero byte stays.
    // Slice 2: nothing reported. Slice 3: 8 bytes, none zero at the end.
    const uint32_t reported[4] = {40, 40, 0, 8};
    for (int i = 0; i < 4; ++i)
        memset(share[i], 0, 64);
    for (int i = 0; i < 2; ++i) {
        share[i][0] = 40;   // the core's length word: 40, then a first payload byte
        share[i][3] = 0x55;
        memset(share[i] + 4, 0x33, 25);
        share[i][29] = i == 0 ? 0x7F : 0x80;
    }
    share[2][0] = 0xEE;   // the low 24 bits of an empty slice's word are cleared
    share[2][3] = 0x99;
    memset(share[3], 0x11, 8);
    for (unsigned s = 0; s < 4; ++s)
        board.fpga().set_unowned(regs::encoder_block(s) + regs::encoder_slice_length + s, reported[s]);

    EXPECT_EQ(compress->read_back(*frame), 0);
    EXPECT_EQ(frame->slice_size[0], 30u);
    EXPECT_EQ(frame->slice_size[1], 31u);
    EXPECT_EQ(frame->slice_size[2], 0u);
    EXPECT_EQ(frame->slice_size[3], 8u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(frame->slice_data[i], share[i]);
    EXPECT_EQ(frame->size, 4u + 30 + 31 + 0 + 8 + 4);
    // The length words: trimmed length in the low 24 bits, top byte kept.
    EXPECT_EQ(std::vector<uint8_t>(share[0], share[0] + 4), (std::vector<uint8_t>{30, 0, 0, 0x55}));
    EXPECT_EQ(std::vector<uint8_t>(share[1], share[1] + 4), (std::vector<uint8_t>{31, 0, 0, 0x55}));
    EXPECT_EQ(std::vector<uint8_t>(share[2], share[2] + 4), (std::vector<uint8_t>{0, 0, 0, 0x99}));
    EXPECT_EQ(std::vector<uint8_t>(share[3], share[3] + 4), (std::vector<uint8_t>{8, 0, 0, 0x11}));

    video_compress::assemble(*frame);
    const std::vector<uint8_t> bytes = bytes_of(*frame);
    ASSERT_EQ(bytes.size(), frame->size);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4), (std::vector<uint8_t>{0xAB, 4, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(bytes.end() - 4, bytes.end()), (std::vector<uint8_t>(4, 0)));
    EXPECT_EQ(bytes[4 + 29], 0x7F);
    EXPECT_EQ(bytes[4 + 30 + 29], 0x80);
    EXPECT_EQ(bytes[4 + 30 + 30], 0);

    // Four empty slices: an eight-byte picture.
    for (unsigned s = 0; s < 4; ++s)
        board.fpga().set_unowned(regs::encoder_block(s) + regs::encoder_slice_length + s, 0);
    EXPECT_EQ(compress->read_back(*frame), 0);
    video_compress::assemble(*frame);
    EXPECT_EQ(bytes_of(*frame), (std::vector<uint8_t>{0xAB, 4, 0, 0, 0, 0, 0, 0}));
}

TEST(video_compress_read_back, with_two_cores_a_share_holds_two_slices_back_to_back)
{
    test_board board(board_with(0));
    board.fpga().set_unowned(regs::encoder_block(1) + regs::encoder_present, 1);
    auto hw = std::make_shared<hardware>();
    auto compress = std::make_shared<video_compress>(hw, loopback_sender());
    ASSERT_EQ(compress->cores(), 2);
    auto frame = video_compress::make_compressed_frame(source_picture(0, 1280, 720));
    compress->allocate_chunk(*frame);
    uint8_t* core0 = hw->cpu_address(frame->address);
    uint8_t* core1 = core0 + frame->core_bytes;
    memset(core0, 0, 64);
    memset(core1, 0, 64);
    memset(core0, 0x20, 10);       // slice 0: 10 bytes, padded to 12
    memset(core0 + 12, 0x21, 7);   // slice 1 starts at the untrimmed end
    memset(core1, 0x22, 5);        // slice 2 starts core 1's share
    memset(core1 + 8, 0x23, 4);
    const uint32_t reported[4] = {12, 8, 8, 4};
    for (unsigned s = 0; s < 4; ++s)
        board.fpga().set_unowned(regs::encoder_block(s / 2) + regs::encoder_slice_length + s, reported[s]);
    EXPECT_EQ(compress->read_back(*frame), 0);
    EXPECT_EQ(frame->slice_data[0], core0);
    EXPECT_EQ(frame->slice_data[1], core0 + 12);
    EXPECT_EQ(frame->slice_data[2], core1);
    EXPECT_EQ(frame->slice_data[3], core1 + 8);
    EXPECT_EQ((std::vector<uint32_t>(frame->slice_size, frame->slice_size + 4)), (std::vector<uint32_t>{10, 7, 5, 4}));
}

TEST(video_compress_read_back, a_length_past_the_share_is_an_overflow_and_nothing_beyond_is_touched)
{
    test_board board(board_with(0));
    board.fpga().set_unowned(regs::encoder_block(1) + regs::encoder_present, 1);
    auto hw = std::make_shared<hardware>();
    auto compress = std::make_shared<video_compress>(hw, loopback_sender());
    auto frame = video_compress::make_compressed_frame(source_picture(0, 640, 360));
    compress->allocate_chunk(*frame);
    uint8_t* core0 = hw->cpu_address(frame->address);
    uint8_t* core1 = core0 + frame->core_bytes;
    memset(core0, 0x77, frame->core_bytes);
    memset(core1, 0x66, 16);
    uint8_t* beyond = core1 + frame->core_bytes;   // the next picture's chunk
    memset(beyond, 0x55, 16);
    // Slice 0 fits, slice 1 runs past core 0's share though each alone fits;
    // slice 2 reports more than a whole share.
    const uint32_t first = frame->core_bytes / 2 + 4;
    const uint32_t reported[4] = {first, frame->core_bytes / 2 + 8, frame->core_bytes + 1, 16};
    for (unsigned s = 0; s < 4; ++s)
        board.fpga().set_unowned(regs::encoder_block(s / 2) + regs::encoder_slice_length + s, reported[s]);
    // Slice 3 overflows too: slice 2 took all of core 1's share.
    EXPECT_EQ(compress->read_back(*frame), 3);
    EXPECT_EQ(frame->slice_size[1], frame->core_bytes - first);   // counted as what the share holds
    EXPECT_EQ(frame->slice_size[2], frame->core_bytes);
    EXPECT_EQ(frame->slice_data[3], beyond);
    EXPECT_EQ(frame->slice_size[3], 0u);
    EXPECT_EQ(std::vector<uint8_t>(beyond, beyond + 16), std::vector<uint8_t>(16, 0x55));
}

TEST(video_compress_threads, queued_pictures_are_sent_before_the_threads_end)
{
    debug_capture log(5);
    auto on = std::make_unique<compressor_on_board>();
    // Two for copying (so that the copy queue's stop marker drops none),
    // two straight for sending.
    const int32_t streams[4] = {0, 1, 0, 1};
    for (int i = 0; i < 4; ++i) {
        auto f = coded(streams[i]);
        f->header = uint32_t(i);
        video_compress::assemble(*f);   // as copy_frames leaves a picture for sending
        if (i < 2)
            on->compress->push_compressed(std::move(f));
        else
            on->compress->push_send(std::move(f));
    }
    on->compress.reset();
    // The compressor is gone; the sender may still hold the last of each
    // stream, and every queued picture reached it first.
    std::vector<int> sent;
    for (const auto& picture : ndi_video_calls::log().pictures())
        sent.push_back(picture.bytes[0]);
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(sent, (std::vector<int>{0, 1, 2, 3}));
    on.reset();
    const std::string text = log.text();
    for (const char* line : {"\n video_compress Destructor", "compress_frames thread done!", "copy_frames thread done!",
                             "send_full thread done!", "send_prvw thread done!"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_LT(text.find("compress_frames thread done!"), text.find("copy_frames thread done!"));
    EXPECT_LT(text.find("copy_frames thread done!"), text.find("send_full thread done!"));
    EXPECT_LT(text.find("copy_frames thread done!"), text.find("send_prvw thread done!"));
}

TEST(video_compress_threads, a_compressor_never_enabled_still_ends_its_threads)
{
    test_board board(board_with(4));
    auto hw = std::make_shared<hardware>();
    auto compress = std::make_shared<video_compress>(hw, loopback_sender());
    auto ended = std::async(std::launch::async, [&] { compress.reset(); });
    if (ended.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "the destructor did not return";
        std::abort();
    }
}
