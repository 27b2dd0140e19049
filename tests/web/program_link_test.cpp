// The daemon's ends of the control pipes, with the test as the program.
#include "web/program_link.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "base/file_descriptor.h"

namespace {

struct pipes : ::testing::Test {
    std::string folder;
    std::string command, reply;
    void SetUp() override
    {
        signal(SIGPIPE, SIG_IGN);   // as the daemon has it: a write to a gone program fails
        char name[] = "/tmp/program_link_test.XXXXXX";
        folder = mkdtemp(name);
        command = folder + "/run/command";
        reply = folder + "/run/reply";
    }
    void TearDown() override
    {
        unlink(command.c_str());
        unlink(reply.c_str());
        rmdir((folder + "/run").c_str());
        rmdir(folder.c_str());
    }
    // The program's opens: as ndi-encoder makes them, never waiting.
    static file_descriptor open_as_program(const std::string& path, int mode)
    {
        return file_descriptor(open(path.c_str(), mode | O_NONBLOCK | O_CLOEXEC));
    }
    static std::string read_all(int fd)
    {
        char buffer[256];
        const ssize_t got = read(fd, buffer, sizeof buffer);
        return got > 0 ? std::string(buffer, size_t(got)) : "";
    }
};

TEST_F(pipes, made_when_missing_and_the_programs_opens_never_wait)
{
    program_link link(command, reply);
    struct stat info {};
    ASSERT_EQ(stat(command.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    // No program yet: nothing to send to, and nothing waits.
    EXPECT_FALSE(link.ask_status(10));
    EXPECT_FALSE(link.answering(10));

    auto in = open_as_program(command, O_RDONLY);
    auto out = open_as_program(reply, O_WRONLY);   // ENXIO without the daemon's reader
    ASSERT_TRUE(in);
    ASSERT_TRUE(out);
    EXPECT_TRUE(link.ask_status(11));
    EXPECT_EQ(read_all(in.get()), "status\n");

    // A reply in two pieces is one line, taken when whole.
    ASSERT_EQ(write(out.get(), "status a=1 ", 11), 11);
    EXPECT_TRUE(link.read_replies(11.1).empty());
    ASSERT_EQ(write(out.get(), "b=2\nstat", 8), 8);
    const auto lines = link.read_replies(11.2);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "status a=1 b=2");
    EXPECT_TRUE(link.answering(11.2));
    EXPECT_FALSE(link.answering(20));   // silent too long
}

TEST_F(pipes, a_program_that_goes_and_comes_back_is_found_again)
{
    program_link link(command, reply);
    {
        auto in = open_as_program(command, O_RDONLY);
        auto out = open_as_program(reply, O_WRONLY);
        ASSERT_TRUE(link.ask_status(1));
        EXPECT_EQ(read_all(in.get()), "status\n");
    }                                   // the program has gone
    EXPECT_FALSE(link.ask_status(2));   // EPIPE, not a signal
    EXPECT_FALSE(link.command_pipe_open());
    // The reply pipe never reads as ended: the daemon holds a writer of its own.
    pollfd watch{link.reply_descriptor(), POLLIN, 0};
    EXPECT_EQ(poll(&watch, 1, 0), 0);

    auto in = open_as_program(command, O_RDONLY);
    auto out = open_as_program(reply, O_WRONLY);
    ASSERT_TRUE(out);
    EXPECT_TRUE(link.ask_status(3));
    EXPECT_EQ(read_all(in.get()), "status\n");
}

TEST_F(pipes, a_program_that_stops_answering_is_opened_anew)
{
    program_link link(command, reply);
    auto in = open_as_program(command, O_RDONLY);
    ASSERT_TRUE(link.ask_status(1));
    // Unanswered for longer than the daemon waits: the pipe is opened again
    // (and found, since the reader is still there); asking goes on.
    EXPECT_TRUE(link.ask_status(5));
    EXPECT_TRUE(link.command_pipe_open());
    EXPECT_EQ(read_all(in.get()), "status\nstatus\n");
}

TEST_F(pipes, a_path_that_is_no_pipe_is_refused)
{
    mkdir((folder + "/run").c_str(), 0700);
    const file_descriptor plain(open(command.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    EXPECT_THROW(program_link(command, reply), std::runtime_error);
}

}   // namespace
