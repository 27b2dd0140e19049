#include "app/reply_channel.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/open_descriptors.h"

namespace {

struct pipe_ends {
    int read = -1, write = -1;
    pipe_ends()
    {
        int fds[2];
        if (pipe(fds) == 0) {
            read = fds[0];
            write = fds[1];
            fcntl(write, F_SETPIPE_SZ, 4096);   // one page: full after a few replies
        }
    }
    ~pipe_ends()
    {
        if (read >= 0)
            close(read);
        if (write >= 0)
            close(write);
    }
};

std::string drain(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::string all;
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
        all.append(buffer, size_t(got));
    return all;
}

// Fills the channel until it refuses. A blocking write would hang here: the
// alarm's default action ends the test instead.
int fill(reply_channel& channel, const std::string& line)
{
    alarm(10);
    int taken = 0;
    while (channel.deliver(line) && taken < 100000)
        ++taken;
    alarm(0);
    return taken;
}

}   // namespace

TEST(reply_channel, a_reader_that_stops_reading_costs_replies_not_the_loop)
{
    pipe_ends p;
    ASSERT_GE(p.read, 0);
    reply_channel channel(p.write, false);
    const std::string line = "video_in 1920x1080p59.94\n";   // 25 bytes
    const int taken = fill(channel, line);
    EXPECT_EQ(taken, 4096 / 25);
    EXPECT_EQ(channel.dropped(), 1u);
    EXPECT_FALSE(channel.deliver(line));
    EXPECT_EQ(channel.dropped(), 2u);

    // What was taken arrives as whole lines; none is cut.
    const std::string got = drain(p.read);
    EXPECT_EQ(got.size(), size_t(taken) * line.size());
    EXPECT_EQ(got.substr(got.size() - line.size()), line);

    // Once the reader has caught up, replies flow again.
    EXPECT_TRUE(channel.deliver(line));
    EXPECT_EQ(drain(p.read), line);
    EXPECT_EQ(channel.dropped(), 2u);
}

TEST(reply_channel, a_shared_pipe_keeps_its_flags_and_still_never_blocks)
{
    pipe_ends p;
    ASSERT_GE(p.read, 0);
    const int flags_before = fcntl(p.write, F_GETFL);
    reply_channel channel(p.write, true);
    EXPECT_EQ(fcntl(p.write, F_GETFL), flags_before) << "the shell's description must stay as it was";
    fill(channel, "status signal=none receivers=0 tally=off replies_dropped=0\n");
    EXPECT_EQ(channel.dropped(), 1u);
}

TEST(reply_channel, its_own_description_of_a_shared_pipe_closes_on_exec)
{
    pipe_ends p;
    ASSERT_GE(p.read, 0);
    const auto before = open_descriptors();
    reply_channel channel(p.write, true);
    EXPECT_GT(open_descriptors().size(), before.size()) << "a description of its own";
    EXPECT_EQ(inheritable_since(before), std::vector<std::string>{});
}

TEST(reply_channel, a_reader_that_went_away_or_a_reply_too_long_is_a_drop)
{
    signal(SIGPIPE, SIG_IGN);   // as the program has it
    pipe_ends p;
    ASSERT_GE(p.read, 0);
    reply_channel channel(p.write, false);
    EXPECT_FALSE(channel.deliver(std::string(reply_channel::pipe_atomic_bytes + 1, 'x')));
    EXPECT_EQ(drain(p.read), "") << "never half a reply";
    close(p.read);
    p.read = -1;
    EXPECT_FALSE(channel.deliver("tally on\n"));
    EXPECT_EQ(channel.dropped(), 2u);
}

TEST(reply_channel, a_socket_is_sent_to_without_waiting)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    int small = 4096;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    reply_channel channel(pair[0], true);
    EXPECT_EQ(fcntl(pair[0], F_GETFL) & O_NONBLOCK, 0);
    EXPECT_GT(fill(channel, "audio_in 48000Hz Stereo\n"), 0);
    EXPECT_EQ(channel.dropped(), 1u);
    close(pair[0]);
    close(pair[1]);
}
