#include "app/control_pipe.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/file_descriptor.h"
#include "tests/support/debug_capture.h"
#include "tests/support/open_descriptors.h"
#include "tests/support/test_seed.h"

namespace {

signal_info progressive_1080()
{
    signal_info s;
    s.valid = 1;
    s.width = 1920;
    s.height = 1080;
    s.frame_rate_n = 60000;
    s.frame_rate_d = 1001;
    return s;
}

audio_config stereo(bool enabled)
{
    audio_config c{};
    c.enabled = enabled;
    c.channels = 2;
    c.sample_rate = 48000;
    return c;
}

std::string reply(std::string_view command, const signal_info* video, const audio_config* audio)
{
    return interpret_command(command, video, audio).text;
}

}   // namespace

TEST(control_pipe, video_in_reports_the_signal)
{
    signal_info s = progressive_1080();
    EXPECT_EQ(reply("video_in", &s, nullptr), "video_in 1920x1080p59.94\n");
    EXPECT_EQ(reply("  video_in\n", &s, nullptr), "video_in 1920x1080p59.94\n");

    // Fields are reported as frames: height and rate doubled.
    s.height = 540;
    s.interlaced = 1;
    EXPECT_EQ(reply("video_in", &s, nullptr), "video_in 1920x1080i119.88\n");

    s.interlaced = 0;
    s.frame_rate_d = 0;
    EXPECT_EQ(reply("video_in", &s, nullptr), "video_in 1920x540p0.00\n");

    signal_info none;
    EXPECT_EQ(reply("video_in", &none, nullptr), "video_in 0x0p0.00\n");
    EXPECT_EQ(reply("video_in", nullptr, nullptr), "video_in none\n");
}

TEST(control_pipe, audio_replies)
{
    audio_config c = stereo(true);
    EXPECT_EQ(reply("audio_in", nullptr, &c), "audio_in 48000Hz Stereo\n");
    c.channels = 1;
    EXPECT_EQ(reply("audio_in", nullptr, &c), "audio_in 48000Hz Mono\n");
    EXPECT_EQ(reply("audio_in", nullptr, nullptr), "audio_in none\n");

    c = stereo(true);
    EXPECT_EQ(reply("audio_out", nullptr, &c), "audio_out on\n");
    c = stereo(false);
    EXPECT_EQ(reply("audio_out", nullptr, &c), "audio_out off\n");
    EXPECT_EQ(reply("audio_out on", nullptr, &c), "audio_out on\n");   // reported, not changed
    EXPECT_EQ(reply("audio_out off", nullptr, &c), "audio_out off\n");
    EXPECT_EQ(reply("audio_out maybe", nullptr, &c), "audio_out");
    EXPECT_EQ(reply("audio_out", nullptr, nullptr), "audio_out none\n");
}

TEST(control_pipe, tally_video_out_exit_and_unknown_words)
{
    EXPECT_EQ(reply("tally", nullptr, nullptr), "tally off\n");
    EXPECT_EQ(reply("tally on", nullptr, nullptr), "tally on\n");
    EXPECT_EQ(reply("tally off", nullptr, nullptr), "tally off\n");
    EXPECT_EQ(reply("tally maybe", nullptr, nullptr), "tally");
    EXPECT_EQ(reply("video_out", nullptr, nullptr), "video_out\n");

    command_reply exit = interpret_command("exit\n", nullptr, nullptr);
    EXPECT_TRUE(exit.exit);
    EXPECT_EQ(exit.text, "");

    command_reply shouted = interpret_command("EXIT", nullptr, nullptr);
    EXPECT_FALSE(shouted.exit);
    EXPECT_TRUE(shouted.unknown);
    EXPECT_EQ(shouted.text, "");

    command_reply blank = interpret_command(" \n \n", nullptr, nullptr);
    EXPECT_FALSE(blank.exit || blank.unknown);
    EXPECT_EQ(blank.text, "");
}

TEST(control_pipe, one_read_is_one_command)
{
    // The second line's words become arguments of the first line's command.
    EXPECT_EQ(reply("tally\non\n", nullptr, nullptr), "tally on\n");
    EXPECT_EQ(reply("tally maybe on off", nullptr, nullptr), "tally");
    // Longer than the command buffer: cut at 199 bytes, never overrun.
    const std::string long_word(500, 'x');
    command_reply r = interpret_command(long_word, nullptr, nullptr);
    EXPECT_TRUE(r.unknown);
}

TEST(control_pipe, survives_arbitrary_bytes)
{
    // Whatever a supervisor writes, one read gives at most one short reply
    // built from known pieces, and never reads past the command buffer.
    const unsigned seed = test_seed();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::string words[] = {"video_in", "audio_in", "audio_out", "tally", "exit", "on", "off", " ", "\n", "\0"};
    signal_info s = progressive_1080();
    audio_config c = stereo(true);
    for (int round = 0; round < 20000; ++round) {
        std::string input;
        const int pieces = int(random() % 12);
        for (int i = 0; i < pieces; ++i) {
            if (random() % 2)
                input += words[random() % std::size(words)];
            else
                input += char(random() % 256);
        }
        const command_reply r = interpret_command(input, (round & 1) ? &s : nullptr, (round & 2) ? &c : nullptr);
        EXPECT_LE(r.text.size(), 40u) << testing::PrintToString(input);
        EXPECT_FALSE(r.exit && (r.unknown || !r.text.empty()));
    }
}

// After the supervisor's last writer has gone the loop holds a write end of
// the command pipe itself; a child that inherited it would keep the pipe
// from ever reaching end-of-file.
TEST(control_pipe, the_write_end_kept_after_the_last_writer_closes_on_exec)
{
    char dir[] = "/tmp/control_pipe_testXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string commands = std::string(dir) + "/in", replies = std::string(dir) + "/out";
    ASSERT_EQ(mkfifo(commands.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(replies.c_str(), 0600), 0);
    const file_descriptor in(open(commands.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    file_descriptor writer(open(commands.c_str(), O_WRONLY | O_CLOEXEC));
    const file_descriptor reader(open(replies.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    const file_descriptor out(open(replies.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(in && writer && reader && out);

    writer.reset();                       // the supervisor has been and gone
    testing::internal::CaptureStdout();   // the loop announces its pipes
    const auto before = open_descriptors();
    std::thread loop([&] { do_command(nullptr, nullptr, in.get(), out.get()); });
    const auto kept = [&] {
        std::error_code gone;
        for (int fd : open_descriptors())
            if (!before.count(fd) &&
                std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), gone) == commands)
                return true;
        return false;
    };
    const bool held = eventually(kept);
    const auto inheritable = inheritable_since(before);

    writer.reset(open(commands.c_str(), O_WRONLY | O_CLOEXEC));   // a supervisor again
    EXPECT_EQ(write(writer.get(), "exit", 4), 4);
    loop.join();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(held);
    EXPECT_EQ(inheritable, std::vector<std::string>{});
    unlink(commands.c_str());
    unlink(replies.c_str());
    rmdir(dir);
}
