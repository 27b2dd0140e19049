#include "video/video_compress.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "hw/hardware.h"
#include "tests/support/test_board.h"
#include "tests/video/video_test_support.h"
#include "base/frame_queue.h"

namespace {

using frame_t = video_compress::frame_t;

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

const std::string queue_marks = "bq!n@fF#$xX";

struct compressor_on_board {
    test_board board;
    std::shared_ptr<hardware> hw = std::make_shared<hardware>();
    std::shared_ptr<video_compress> compress = std::make_shared<video_compress>(hw, nullptr);
};

std::vector<uint8_t> bytes_of(const frame_t& frame)
{
    return {frame.data.get(), frame.data.get() + frame.size};
}

}  // namespace

TEST(frame_queue, keeps_the_newest_entries_in_order)
{
    debug_capture log(5);
    frame_queue<int> queue;
    std::vector<std::shared_ptr<int>> pushed;
    for (int i = 1; i <= 5; ++i) {
        pushed.push_back(std::make_shared<int>(i));
        queue.push(pushed.back(), 'n', '@');
    }
    EXPECT_EQ(log.marks("n@"), "nnnn@n@");
    EXPECT_EQ(pushed[0].use_count(), 1);   // dropped entries are released
    for (size_t i = 2; i < 5; ++i)
        EXPECT_EQ(queue.take(), pushed[i]);
}

TEST(frame_queue, a_consumer_waits_for_entries_and_sees_the_stop_marker_last)
{
    debug_capture log(5);
    frame_queue<int> queue;
    std::vector<int> taken;
    std::thread consumer([&] {
        while (auto e = queue.take('c'))
            taken.push_back(*e);
    });
    for (int i = 1; i <= 3; ++i)
        queue.push(std::make_shared<int>(i), 0, '@');
    queue.push_unbounded(nullptr, 0);
    consumer.join();
    EXPECT_EQ(taken, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(log.marks("c@"), "cccc");   // the marker is marked as well
}

TEST(video_compress_queues, drops_pairs_before_enable_and_bounds_the_input_queue)
{
    compressor_on_board on;
    debug_capture log(5);
    auto early = pair_with_preview(true);
    on.compress->push_frame(early);
    EXPECT_EQ(early.use_count(), 1);   // not kept, not marked
    on.compress->enable();
    for (int i = 0; i < 5; ++i)
        on.compress->push_frame(pair_with_preview(i % 2 == 1));
    EXPECT_EQ(log.marks(queue_marks), "qbqb!q!");
    // An empty pair is queued unmarked, and it too pushes out the oldest.
    on.compress->push_frame(nullptr);
    EXPECT_EQ(log.marks(queue_marks), "qbqb!q!!");
}

TEST(video_compress_queues, only_drops_are_logged_at_the_default_level)
{
    compressor_on_board on;
    on.compress->enable();
    debug_capture log(2);
    for (int i = 0; i < 4; ++i) {
        on.compress->push_frame(pair_with_preview(false));
        on.compress->push_compressed(coded(0));
        on.compress->push_send(coded(0));
        on.compress->push_send(coded(1));
    }
    EXPECT_EQ(log.text(), "!@#$");
}

TEST(video_compress_queues, send_frames_are_sorted_by_stream_and_the_stop_marker_is_unbounded)
{
    compressor_on_board on;
    debug_capture log(5);
    for (int i = 0; i < 3; ++i) {
        on.compress->push_send(coded(0));
        on.compress->push_send(coded(i == 2 ? 7 : 1));   // any stream but 0 is the preview
    }
    on.compress->push_send(nullptr);
    EXPECT_EQ(log.marks(queue_marks), "fFfFfFxX");   // nothing dropped for the marker
    // Four entries each now: the next push drops two to get back to three.
    on.compress->push_send(coded(0));
    on.compress->push_send(coded(1));
    EXPECT_EQ(log.marks(queue_marks), "fFfFfFxXf##F$$");
}

TEST(video_compress_queues, destruction_pushes_the_stop_markers_in_pipeline_order)
{
    debug_capture log(5);
    {
        compressor_on_board on;
        on.compress->enable();
        for (int i = 0; i < 3; ++i)
            on.compress->push_frame(pair_with_preview(false));
        on.compress.reset();
    }
    // The input queue's marker costs its oldest pair; then the compressed
    // queue's, then both send queues'.
    EXPECT_EQ(log.marks(queue_marks), "qqq!nxX");
    EXPECT_NE(log.text().find("\n video_compress Destructor"), std::string::npos);
}

TEST(video_compress_assemble, writes_header_slices_and_trailer_and_repeats_identically)
{
    frame_t empty;
    empty.header = 0x0463;   // q 99, four slices
    empty.size = 8;
    video_compress::assemble(empty);
    EXPECT_EQ(bytes_of(empty), (std::vector<uint8_t>{0x63, 0x04, 0, 0, 0, 0, 0, 0}));

    const std::vector<uint8_t> ring = {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21};
    frame_t frame;
    frame.header = 0x0432;
    frame.trailer = 0xA5A5A5A5;
    frame.slice_data[0] = &ring[8];
    frame.slice_size[0] = 3;
    frame.slice_data[1] = &ring[0];
    frame.slice_size[1] = 2;
    frame.slice_size[2] = 0;   // empty, with no address
    frame.slice_data[3] = &ring[4];
    frame.slice_size[3] = 1;
    frame.size = 1000;         // stale: the slice table decides
    video_compress::assemble(frame);
    const std::vector<uint8_t> expected = {0x32, 4, 0, 0, 18, 19, 20, 10, 11, 14, 0xA5, 0xA5, 0xA5, 0xA5};
    EXPECT_EQ(bytes_of(frame), expected);
    const uint8_t* first = frame.data.get();
    video_compress::assemble(frame);
    EXPECT_NE(frame.data.get(), first);   // a fresh buffer replaced the first
    EXPECT_EQ(bytes_of(frame), expected);
}
