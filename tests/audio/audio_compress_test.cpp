// audio_compress: the queue between the capture thread and "audcomp", and
// the record handed to the NDI runtime.
#include "audio/audio_compress.h"

#include <gtest/gtest.h>

#include "ndi/network_send.h"
#include "tests/audio/audio_test_support.h"
#include "tests/audio/sent_audio.h"

namespace {

// A block whose timestamp names it.
std::shared_ptr<audio_capture::frame_t> block(int64_t name)
{
    static int32_t samples[2 * 4] = {1, -1, 2, -2, 3, -3, 4, -4};
    auto frame = std::make_shared<audio_capture::frame_t>();
    frame->channels = 2;
    frame->samples = 4;
    frame->sample_rate = 48000;
    frame->timestamp = name;
    frame->data = samples;
    return frame;
}

std::vector<int64_t> sent_names()
{
    std::vector<int64_t> names;
    for (const auto& b : sent_audio::log().blocks())
        names.push_back(b.frame.timecode);
    return names;
}

class audio_compress_test : public testing::Test {
protected:
    void SetUp() override { sent_audio::log().clear(); }

    std::shared_ptr<network_send> sender = loopback_sender();
};

}   // namespace

// With "audcomp" held inside the send of block 0, five more blocks leave the
// newest three, each drop marked "~"; the per-block marks show at level 5.
TEST_F(audio_compress_test, keeps_the_newest_three_and_marks_each_drop)
{
    const struct {
        int level;
        const char* marks;
    } cases[] = {
        {2, "~~"},
        {5, "aAaaaa~a~AAA"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("level " + std::to_string(c.level));
        sent_audio::log().clear();
        auto compress = std::make_shared<audio_compress>(nullptr, sender);
        compress->enable();
        {
            debug_capture log(c.level);
            {
                sent_audio::hold_guard hold;
                compress->push_frame(block(0));
                ASSERT_TRUE(sent_audio::log().wait_for(1));
                for (int64_t name = 1; name <= 5; ++name)
                    compress->push_frame(block(name));
            }
            ASSERT_TRUE(sent_audio::log().wait_for(4));
            EXPECT_EQ(log.text(), c.marks);
        }
        compress.reset();
        EXPECT_EQ(sent_names(), (std::vector<int64_t>{0, 3, 4, 5}));
    }
}

// The capture's empty block ends "audcomp" once the blocks ahead of it are
// sent; what comes after it is never sent, and destruction still returns.
TEST_F(audio_compress_test, empty_block_ends_the_sender_after_those_ahead)
{
    auto compress = std::make_shared<audio_compress>(nullptr, sender);
    compress->enable();
    {
        sent_audio::hold_guard hold;
        compress->push_frame(block(0));
        ASSERT_TRUE(sent_audio::log().wait_for(1));
        compress->push_frame(block(1));
        compress->push_frame(block(2));
        compress->push_frame(nullptr);
    }
    EXPECT_TRUE(eventually([] { return !thread_running("audcomp"); }));
    compress->push_frame(block(3));
    compress.reset();
    EXPECT_EQ(sent_names(), (std::vector<int64_t>{0, 1, 2}));
}

// Blocks pushed before enable are dropped, and the stop marker of a
// compressor that was never enabled still ends its thread.
TEST_F(audio_compress_test, never_enabled_drops_blocks_and_still_ends_its_thread)
{
    auto compress = std::make_shared<audio_compress>(nullptr, sender);
    compress->push_frame(block(1));
    compress->push_frame(block(2));
    ASSERT_TRUE(eventually([] { return thread_running("audcomp"); }));
    compress.reset();
    EXPECT_TRUE(eventually([] { return !thread_running("audcomp"); }));
    EXPECT_TRUE(sent_names().empty());
}

TEST_F(audio_compress_test, sends_the_block_as_interleaved_32_bit_audio)
{
    audio_compress compress(nullptr, sender);
    auto frame = block(160000);
    for (float level : {20.0f, 20.9f, -6.5f}) {
        frame->reference_level = level;
        compress.send_audio(*frame);
    }
    audio_compress(nullptr, nullptr).send_audio(*frame);   // no sender: nothing

    const auto sent = sent_audio::log().blocks();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].frame.reference_level, 20);
    EXPECT_EQ(sent[1].frame.reference_level, 20) << "truncated";
    EXPECT_EQ(sent[2].frame.reference_level, -6);
    const auto& f = sent[0].frame;
    EXPECT_EQ(sent[0].instance, sender->sender());
    EXPECT_EQ(f.sample_rate, 48000);
    EXPECT_EQ(f.no_channels, 2);
    EXPECT_EQ(f.no_samples, 4);
    EXPECT_EQ(f.timecode, 160000);
    EXPECT_EQ(f.p_data, frame->data);
}
