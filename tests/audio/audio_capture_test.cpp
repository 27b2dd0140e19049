// audio_capture against the virtual audio core: register traces, the ring,
// and the blocks that reach the NDI call.
#include "audio/audio_capture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "audio/audio_compress.h"
#include "base/utilities.h"
#include "hw/hardware.h"
#include "hw/registers.h"
#include "ndi/network_send.h"
#include "sim/cores/audio_core.h"
#include "tests/audio/audio_test_support.h"
#include "tests/audio/sent_audio.h"
#include "tests/support/test_board.h"
#include "tests/video/video_test_support.h"

using namespace std::chrono_literals;

namespace {

constexpr uint32_t block_bytes = 768 * 2 * 4;

std::vector<bus_write> audio_writes(test_board& board)
{
    std::vector<bus_write> found;
    for (const auto& w : board.fpga().writes())
        if (w.index() >= regs::audio_in_block && w.index() < regs::audio_in_block + regs::audio_in_map.registers)
            found.push_back({w.index() - regs::audio_in_block, w.width == 1 ? w.lane() : 0, w.value, w.width});
    return found;
}

std::vector<uint32_t> values_of(const std::vector<bus_write>& writes, unsigned reg)
{
    std::vector<uint32_t> values;
    for (const auto& w : writes)
        if (w.reg == reg && w.width == 4)
            values.push_back(w.value);
    return values;
}

size_t arms(test_board& board)
{
    size_t count = 0;
    for (const auto& w : audio_writes(board))
        count += w == bus_write{regs::control, regs::lane_command, regs::command_arm, 1};
    return count;
}

bool armed(test_board& board)
{
    return arms(board) > 0;
}

// Moves the clock on by one block once "audcap" has done with the block it
// handed on last: it has then armed `armed` buffers in all, the block after
// the one that ends now queued behind it. A step taken earlier could end
// that block too while the thread still looks at the core, and an idle core
// there means to it a merged interrupt: a race the test made, not the
// thread. (With a real-time priority the thread is done long before the
// block reaches the NDI call; an ordinary user's run has no such head
// start.)
void step_one_block(test_board& board, size_t armed)
{
    ASSERT_TRUE(eventually([&] { return arms(board) == armed; })) << arms(board) << " buffers armed";
    board.fpga().step(16ms);
}

// A capture switched on as main does it, once its first buffer is armed;
// empty when the thread never armed it.
std::shared_ptr<audio_capture> enabled_capture(test_board& board, const std::shared_ptr<hardware>& hw,
                                               const std::shared_ptr<audio_compress>& compress)
{
    auto capture = std::make_shared<audio_capture>(hw, compress);
    if (!eventually([&] { return armed(board); }))
        return nullptr;
    audio_config on;
    capture->get_config(on);
    on.enabled = true;
    capture->set_config(on);
    return capture;
}

// The debug log as a stream that holds the writer of the n-th mark c until
// released: a way to make "audcap" late at a chosen block, with the block
// acknowledged and nothing else of the pass done. Only the mark itself
// counts, a write of its one character: messages may hold the same
// character, and which of them a run writes depends on the user (a run
// that may not raise thread priorities says so first). A writer is held
// for at most hold_limit, so that a test that fails before releasing it
// still ends.
class mark_gate {
public:
    mark_gate(char held_mark, size_t held_at) : mark(held_mark), nth(held_at)
    {
        cookie_io_functions_t io{};
        io.write = [](void* self, const char* bytes, size_t size) -> ssize_t {
            static_cast<mark_gate*>(self)->written(bytes, size);
            return ssize_t(size);
        };
        stream = fopencookie(this, "w", io);
        setvbuf(stream, nullptr, _IONBF, 0);
        saved_stream = debug_stream;
        saved_level = debug_level;
        debug_stream = stream;
        debug_level = 3;
    }
    ~mark_gate()
    {
        release();
        debug_stream = saved_stream;
        debug_level = saved_level;
        fclose(stream);
    }

    static constexpr auto hold_limit = std::chrono::seconds(10);

    bool wait_until_held()
    {
        std::unique_lock<std::mutex> lock(guard);
        return changed.wait_for(lock, hold_limit, [this] { return holding; });
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(guard);
        open = true;
        changed.notify_all();
    }

private:
    void written(const char* bytes, size_t size)
    {
        std::unique_lock<std::mutex> lock(guard);
        if (size == 1 && bytes[0] == mark && ++seen == nth) {
            holding = true;
            changed.notify_all();
            changed.wait_for(lock, hold_limit, [this] { return open; });
        }
    }

    const char mark;
    const size_t nth;
    FILE* stream;
    FILE* saved_stream;
    int saved_level;
    std::mutex guard;
    std::condition_variable changed;
    size_t seen = 0;
    bool holding = false;
    bool open = false;
};

}   // namespace

// Construction programs both channels and the control byte; the thread
// resets the core and arms one buffer, then, never enabled, only idles; on
// the way out it writes nothing and its empty block ends "audcomp".
TEST(audio_capture, programs_the_core_arms_one_buffer_and_stops_cleanly)
{
    test_board board;
    auto hw = std::make_shared<hardware>();
    hw->translate_addresses = true;
    auto compress = std::make_shared<audio_compress>(hw, nullptr);
    compress->enable();
    board.fpga().clear_writes();

    auto capture = std::make_shared<audio_capture>(hw, compress);
    audio_config config;
    capture->get_config(config);
    EXPECT_FALSE(config.enabled);
    EXPECT_EQ(config.control_a, 1);
    EXPECT_EQ(config.control_b, 0);
    EXPECT_EQ(config.channels, 2u);
    EXPECT_EQ(config.sample_rate, 48000);
    ASSERT_TRUE(eventually([&] { return thread_running("audcap"); }));
    capture.reset();

    const uint32_t first = hw->bus_address(hw->get_region(audio_region).address);
    const std::vector<bus_write> expected = {
        {1, 0, 0x00000555, 4}, {1, 0, 0x01000555, 4}, {0, 1, 1, 1},                    // constructor
        {0, 3, 0xC0, 1},       {0, 0, 0, 4},          {0, 1, 1, 1},                    // thread start
        {2, 0, first, 4},      {3, 0, 768, 4},        {0, 2, 0xC0, 1}, {0, 0, 1, 1},   // first buffer
    };
    EXPECT_EQ(audio_writes(board), expected);

    auto* core = board.fpga().model<vfpga::audio_core>();
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(core->channel_controls(), (std::vector<uint32_t>{0x00000555, 0x01000555}));
    EXPECT_EQ(core->control_byte(), 1);
    EXPECT_TRUE(eventually([] { return !thread_running("audcomp"); }));
    EXPECT_TRUE(board.fpga().guest_errors().empty());
}

// On the Altera platform, block by block on a stepped clock: every armed
// buffer is the ring's next (the eleventh back at the start), the first
// interrupt after enabling delivers the buffer armed at thread start, and
// what reaches the NDI call is the core's tone without a seam.
TEST(audio_capture, hands_on_ring_buffers_in_order_and_the_tone_without_a_seam)
{
    auto config = test_board::small_config();
    config.clock = "stepped";
    config.platform = 0x01000000;
    test_board board(config);
    auto hw = std::make_shared<hardware>();
    hw->translate_addresses = true;
    auto sender = loopback_sender();
    auto compress = std::make_shared<audio_compress>(hw, sender);
    compress->enable();
    sent_audio::log().clear();
    board.fpga().clear_writes();

    auto capture = enabled_capture(board, hw, compress);
    ASSERT_TRUE(capture);

    constexpr size_t blocks = 12;
    const int64_t started = timestamp_100ns();
    for (size_t k = 0; k < blocks; ++k) {
        step_one_block(board, k + 2);
        ASSERT_TRUE(sent_audio::log().wait_for(k + 1)) << "block " << k;
    }
    capture.reset();   // stops while waiting for a block that will not come
    EXPECT_TRUE(eventually([] { return !thread_running("audcomp"); }));

    const uint32_t base = hw->get_region(audio_region).address;
    auto slot = [&](size_t k) { return base + uint32_t(k % 10) * block_bytes; };
    const auto sent = sent_audio::log().blocks();
    ASSERT_EQ(sent.size(), blocks) << "the block cut short by the stop is not sent";
    int64_t last_timecode = 0;
    for (size_t k = 0; k < blocks; ++k) {
        const auto& frame = sent[k].frame;
        SCOPED_TRACE("block " + std::to_string(k));
        EXPECT_EQ(sent[k].instance, sender->sender());
        EXPECT_EQ(frame.p_data, reinterpret_cast<int32_t*>(hw->cpu_address(slot(k))));
        EXPECT_EQ(frame.sample_rate, 48000);
        EXPECT_EQ(frame.no_channels, 2);
        EXPECT_EQ(frame.no_samples, 768);
        EXPECT_EQ(frame.reference_level, 20);
        EXPECT_GT(frame.timecode, last_timecode);
        EXPECT_GE(frame.timecode, started);
        last_timecode = frame.timecode;
        EXPECT_EQ(tone_position(sent[k].samples.data(), 768), int64_t(k * 768 % tone_cycle));
    }
    EXPECT_LE(last_timecode, timestamp_100ns());

    const auto writes = audio_writes(board);
    const auto buffers = values_of(writes, regs::audio_buffer);
    ASSERT_GE(buffers.size(), blocks + 1);
    for (size_t k = 0; k < buffers.size(); ++k)
        EXPECT_EQ(buffers[k], (config.reserved_address + slot(k)) | 0x80000000u) << "buffer " << k;
    for (uint32_t samples : values_of(writes, regs::audio_samples))
        EXPECT_EQ(samples, 768u);
    EXPECT_TRUE(board.fpga().guest_errors().empty());
}

// "audcap" late by a whole block: the block queued behind the one it was
// handling ends too before it acknowledges, so one acknowledgement clears
// both and one interrupt stands for two blocks. The capture must hand on
// both at once and arm afresh; taking the merged interrupt for one block
// would leave it a block behind for good, each block armed only after the
// core had gone idle.
TEST(audio_capture, hands_on_both_blocks_of_a_merged_interrupt_and_keeps_pace)
{
    auto config = test_board::small_config();
    config.clock = "stepped";
    test_board board(config);
    mark_gate late(':', 3);   // "audcap" stops after acknowledging block 2
    auto hw = std::make_shared<hardware>();
    auto sender = loopback_sender();
    auto compress = std::make_shared<audio_compress>(hw, sender);
    compress->enable();
    sent_audio::log().clear();
    auto* core = board.fpga().model<vfpga::audio_core>();

    auto capture = enabled_capture(board, hw, compress);
    ASSERT_TRUE(capture);

    for (size_t k = 0; k < 2; ++k) {
        step_one_block(board, k + 2);
        ASSERT_TRUE(sent_audio::log().wait_for(k + 1)) << "block " << k;
    }
    step_one_block(board, 4);
    ASSERT_TRUE(late.wait_until_held());
    // Block 3, queued behind block 2, ends while "audcap" is held; the
    // acknowledgement the thread would have made after both is made here.
    board.fpga().step(16ms);
    ASSERT_TRUE(eventually([&] { return units_completed(board.fpga(), *core) == 4; }));
    hw->write_reg8(regs::audio_in_block, regs::control, regs::lane_events, regs::events_clear);
    late.release();
    ASSERT_TRUE(sent_audio::log().wait_for(4, 2s)) << "block 3 was not handed on with block 2";
    // Blocks 0 to 3, then block 4 armed afresh and block 5 queued behind it,
    // before the clock moves on.
    ASSERT_TRUE(eventually([&] { return arms(board) == 6; })) << arms(board) << " buffers armed";

    // From here on every block is queued in time: each step ends one and
    // hands it on, and the tone runs on without a seam.
    for (size_t k = 4; k < 8; ++k) {
        step_one_block(board, k + 2);
        ASSERT_TRUE(sent_audio::log().wait_for(k + 1, 2s)) << "block " << k;
        ASSERT_TRUE(eventually([&] { return units_completed(board.fpga(), *core) == k + 1; }));
    }
    capture.reset();
    const auto sent = sent_audio::log().blocks();
    ASSERT_EQ(sent.size(), 8u);
    for (size_t k = 0; k < sent.size(); ++k)
        EXPECT_EQ(tone_position(sent[k].samples.data(), 768), int64_t(k * 768 % tone_cycle)) << "block " << k;
    EXPECT_EQ(core->completed(), 8u) << "no block armed after the core went idle";
}
