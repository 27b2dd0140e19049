// video_compress against the virtual encoder cores: pictures go in as the
// capture hands them on and come out of the NDI send call as coded
// pictures that FFmpeg decodes to their source. The tracker never reports a
// 4:2:0 input, so this is where the program's 4:2:0 path is driven.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "hw/hardware.h"
#include "ndi/network_send.h"
#include "sim/cores/video_pattern.h"
#include "sim/speedhq/speedhq_decode.h"
#include "tests/support/debug_capture.h"
#include "tests/support/loopback_sender.h"
#include "tests/support/test_board.h"
#include "tests/video/ndi_video_calls.h"
#include "video/video_compress.h"

using namespace vfpga;

namespace {

// What "vidcomp" says at its start when the user may not raise its
// priority; when it says it depends on the run, not on the test.
const std::string priority_refused = "video_compress::compress_frames: Could not set thread priority!\n";

constexpr int settled_q = 90;   // where the runtime's rate control settles with the moving pattern

struct coding_board {
    explicit coding_board(int encoders, const std::string& fault = "")
        : board([&] {
              board_config c = test_board::small_config();
              c.reserved_size = 32u << 20;
              c.encoders = encoders;
              if (!fault.empty())
                  c.settings["encoder_fault"] = fault;
              return c;
          }())
    {
        ndi_video_calls::log().clear();
        ndi_video_calls::log().answer_q([](const NDIlib_video_frame_v2_t&) { return settled_q; });
        compress = std::make_shared<video_compress>(hw, sender);
        compress->enable();
    }

    // A captured picture of the moving pattern at address, as the input
    // cores would have written it.
    std::shared_ptr<video_capture::frame_t> captured(int32_t stream, pixel_layout layout, uint32_t width,
                                                     uint32_t height, uint32_t address, uint32_t number)
    {
        picture_geometry g;
        g.layout = layout;
        g.width = width;
        g.height = height;
        g.stride = line_pitch(layout, width);
        render_picture(board.physical(address, g.bytes()), g, number, 2);
        auto frame = std::make_shared<video_capture::frame_t>();
        frame->stream = stream;
        frame->format = layout == pixel_layout::yuv420 ? 1 : 0;
        frame->block = stream == 0 ? 512 : 528;
        frame->width = width;
        frame->height = height;
        frame->stride = g.stride;
        frame->frame_rate_n = 60000;
        frame->frame_rate_d = 1001;
        frame->timestamp = 1000 + number;
        frame->field = 2;
        frame->address = address;
        return frame;
    }

    test_board board;
    std::shared_ptr<hardware> hw = std::make_shared<hardware>();
    std::shared_ptr<network_send> sender = loopback_sender();
    std::shared_ptr<video_compress> compress;
};

// The decoded picture against the exact source of picture number.
double psnr_to_source(const ndi_video_calls::sent_picture& sent, pixel_layout layout, uint32_t source_width,
                      uint32_t number)
{
    const uint32_t width = uint32_t(sent.record.xres), height = uint32_t(sent.record.yres);
    const decode_result d = speedhq_decode(sent.bytes, uint32_t(sent.record.FourCC), width, height);
    if (!d.picture) {
        ADD_FAILURE() << d.error;
        return 0;
    }
    picture_geometry g;
    g.layout = layout;
    g.width = source_width;
    g.height = height;
    g.stride = line_pitch(layout, source_width);
    std::vector<uint8_t> source(g.bytes());
    render_picture(source.data(), g, number, 2);
    return psnr(*d.picture, planes_of_source(source.data(), layout, g.stride, width, height));
}

}   // namespace

TEST(video_compress_cores, code_4_2_0_and_4_2_2_pairs_through_one_two_and_four_cores)
{
    const struct {
        pixel_layout layout;
        uint32_t width, height;
        uint32_t coded;   // the coded width
        const char* full_code;
        const char* preview_code;
    } sources[] = {
        {pixel_layout::yuv420, 1000, 360, 960, "SHQ0", "shq0"},   // coded to the multiple of 64 below
        {pixel_layout::yuv422, 1280, 720, 1280, "SHQ2", "shq2"},
        {pixel_layout::yuv422, 1000, 200, 992, "SHQ2", "shq2"},   // partial width
    };
    for (int encoders : {1, 2, 4}) {
        coding_board on(encoders);
        size_t expected = 0;
        uint32_t number = 40;
        for (const auto& s : sources) {
            SCOPED_TRACE(testing::Message()
                         << encoders << " cores, " << s.full_code << " " << s.width << "x" << s.height);
            // A pair with a preview of its own: two pictures coded, full first.
            const uint32_t full_at = 0x10000000, preview_at = 0x10800000;
            auto pair = std::make_shared<video_capture::frame_pair_t>();
            pair->full = on.captured(0, s.layout, s.width, s.height, full_at, number);
            pair->preview = on.captured(1, s.layout, s.width / 2, s.height / 2, preview_at, number);
            on.compress->push_frame(pair);
            pair.reset();
            expected += 2;
            ASSERT_TRUE(ndi_video_calls::log().wait_for_pictures(expected));
            // The two streams' send threads hand theirs over in either order.
            const auto sent = ndi_video_calls::log().pictures();
            const bool full_first = (uint32_t(sent[expected - 2].record.FourCC) & 0xFF) == 'S';
            const auto& full = sent[expected - (full_first ? 2 : 1)];
            const auto& preview = sent[expected - (full_first ? 1 : 2)];
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(&full.record.FourCC), 4), s.full_code);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(&preview.record.FourCC), 4), s.preview_code);
            EXPECT_EQ(uint32_t(full.record.xres), s.coded);
            EXPECT_EQ(full.bytes[0], settled_q);
            EXPECT_GE(psnr_to_source(full, s.layout, s.width, number), 40.0);
            EXPECT_GE(psnr_to_source(preview, s.layout, s.width / 2, number), 38.0);
            ++number;
        }
        EXPECT_TRUE(on.board.take_guest_errors().empty());
    }
}

TEST(video_compress_cores, a_preview_without_a_picture_of_its_own_is_sent_as_the_full_slices)
{
    coding_board on(4);
    auto pair = std::make_shared<video_capture::frame_pair_t>();
    pair->full = on.captured(0, pixel_layout::yuv422, 704, 480, 0x10000000, 7);
    pair->preview = on.captured(1, pixel_layout::yuv422, 704, 480, 0x10800000, 7);
    pair->preview->address = video_capture::no_buffer;   // a small input: no preview core in use
    on.compress->push_frame(pair);
    ASSERT_TRUE(ndi_video_calls::log().wait_for_pictures(2));
    auto sent = ndi_video_calls::log().pictures();
    ASSERT_EQ(sent.size(), 2u);
    if (uint32_t(sent[0].record.FourCC) != uint32_t(NDIlib_FourCC_video_type_SHQ2))
        std::swap(sent[0], sent[1]);   // the two send threads race
    EXPECT_EQ(uint32_t(sent[0].record.FourCC), uint32_t(NDIlib_FourCC_video_type_SHQ2));
    EXPECT_EQ(uint32_t(sent[1].record.FourCC), uint32_t(NDIlib_FourCC_video_type_shq2));
    EXPECT_EQ(sent[1].bytes, sent[0].bytes);   // one coding, two streams
    EXPECT_EQ(sent[1].record.timecode, sent[0].record.timecode);
    EXPECT_GE(psnr_to_source(sent[1], pixel_layout::yuv422, 704, 7), 40.0);
    // The cores ran once.
    size_t starts = 0;
    for (const auto& w : on.board.writes_to(0, 0))
        starts += w.width == 1 && w.lane() == 0 && w.value == 1;
    EXPECT_EQ(starts, 1u);
}

// Pairs of a 704 x 480 input, whose preview reuses the full picture's
// slices, each once the one before is sent or dropped (so that no queue
// drops one on a busy machine); the timecodes of what was sent, in order.
std::vector<int64_t> code_pairs(coding_board& on, uint32_t count)
{
    for (uint32_t number = 1; number <= count; ++number) {
        auto pair = std::make_shared<video_capture::frame_pair_t>();
        pair->full = on.captured(0, pixel_layout::yuv422, 704, 480, 0x10000000 + (number % 4) * 0x100000, number);
        pair->preview = on.captured(1, pixel_layout::yuv422, 704, 480, 0, number);
        pair->preview->address = video_capture::no_buffer;
        on.compress->push_frame(pair);
        EXPECT_TRUE(eventually([&] {
            const video_compress::counters_t c = on.compress->counters();
            return c.stream[0].sent + c.stream[0].dropped == number && c.stream[1].sent + c.stream[1].dropped == number;
        }));
    }
    std::vector<int64_t> sent;
    for (const auto& picture : ndi_video_calls::log().pictures())
        sent.push_back(picture.record.timecode);
    std::sort(sent.begin(), sent.end());
    return sent;
}

TEST(video_compress_cores, the_ring_goes_round_over_chunks_once_they_are_read)
{
    coding_board on(4);
    // 704 x 480 chunks of 700 KiB: 46 fit in the ring, 60 pairs go round it.
    const std::vector<int64_t> sent = code_pairs(on, 60);
    ASSERT_EQ(sent.size(), 120u);
    for (size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(sent[i], int64_t(1001 + i / 2)) << i;
    const video_compress::counters_t counted = on.compress->counters();
    EXPECT_EQ(counted.stream[0].dropped + counted.stream[1].dropped, 0u);
}

void expect_one_pair_dropped_of_three(const video_compress::counters_t& counted)
{
    for (int s = 0; s < 2; ++s) {
        EXPECT_EQ(counted.stream[s].sent, 2u) << s;
        EXPECT_EQ(counted.stream[s].dropped, 1u) << s;
        EXPECT_EQ(counted.stream[s].q, settled_q) << s;
    }
}

TEST(video_compress_cores, an_overflow_drops_the_picture_and_the_preview_that_reuses_it)
{
    debug_capture log(2);
    // Core 0 reports a slice longer than its share on its second start.
    coding_board on(4, "overflow:0:2");
    log.clear();                                                                    // the board's own lines
    EXPECT_EQ(code_pairs(on, 3), (std::vector<int64_t>{1001, 1001, 1003, 1003}));   // picture 2 went with its preview
    EXPECT_EQ(log.text_without({priority_refused}), "%");   // logged as a drop, once for the two
    const video_compress::counters_t counted = on.compress->counters();
    expect_one_pair_dropped_of_three(counted);
    EXPECT_EQ(counted.encoder_resets, 0u);
    uint64_t bytes = 0;
    for (const auto& picture : ndi_video_calls::log().pictures())
        bytes += picture.bytes.size();
    EXPECT_EQ(counted.stream[0].bytes_sent + counted.stream[1].bytes_sent, bytes);
}

TEST(video_compress_cores, cores_that_do_not_answer_are_reset_and_the_stream_goes_on)
{
    debug_capture log(2);
    // Core 0 never finishes its second start (the other three do).
    coding_board on(4, "hang:0:2");
    log.clear();   // the board's own lines
    EXPECT_EQ(code_pairs(on, 3), (std::vector<int64_t>{1001, 1001, 1003, 1003}));
    EXPECT_EQ(log.text_without({priority_refused}),
              "video_compress::compress_frames: the encoder cores do not answer! Picture dropped, cores reset.\n");
    const video_compress::counters_t counted = on.compress->counters();
    expect_one_pair_dropped_of_three(counted);
    EXPECT_EQ(counted.encoder_resets, 1u);
    // The reset steps of the thread's start once more, on every core.
    for (unsigned core = 0; core < 4; ++core) {
        std::vector<std::pair<unsigned, uint32_t>> resets;
        for (const auto& w : on.board.writes_to(regs::encoder_block(core), regs::control))
            if (!(w.width == 1 && w.lane() == regs::lane_command) && !(w.width == 1 && w.lane() == regs::lane_events))
                resets.emplace_back(w.lane() + 4 * (w.width == 4), w.value);
        // word 0 and events enabled at the start, and again at the reset
        EXPECT_EQ(resets, (std::vector<std::pair<unsigned, uint32_t>>{{4, 0}, {2, 0xC0}, {4, 0}, {2, 0xC0}}))
            << "core " << core;
    }
    // The tables were forgotten: picture 3 loads its table again, and
    // decodes to its source.
    EXPECT_EQ(on.board.writes_to(regs::encoder_block(0), regs::encoder_quant_port).size(), 2u * 64);
    const auto sent = ndi_video_calls::log().pictures();
    for (const auto& picture : sent) {
        if (picture.record.timecode == 1003 && (uint32_t(picture.record.FourCC) & 0xFF) == 'S') {
            EXPECT_GE(psnr_to_source(picture, pixel_layout::yuv422, 704, 3), 40.0);
        }
    }
}
