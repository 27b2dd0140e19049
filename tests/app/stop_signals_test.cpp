// Each test runs in a process of its own (one CTest entry each): the stop
// flag, once set, stays set.
#include "app/stop_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/options.h"

namespace {

using namespace std::chrono_literals;

struct fifo {
    std::string path;
    fifo()
    {
        char dir[] = "/tmp/stop_signals_testXXXXXX";
        path = std::string(mkdtemp(dir)) + "/reply";
        mkfifo(path.c_str(), 0600);
    }
    ~fifo()
    {
        unlink(path.c_str());
        rmdir(path.substr(0, path.rfind('/')).c_str());
    }
};

std::optional<int> parse(std::initializer_list<const char*> words, options& result)
{
    std::vector<char*> argv;
    for (const char* w : words)
        argv.push_back(const_cast<char*>(w));
    argv.push_back(nullptr);
    return parse_options(int(words.size()), argv.data(), result);
}

}   // namespace

TEST(stop_signals, a_signal_held_while_working_is_seen_between_steps)
{
    install_stop_signals();
    EXPECT_FALSE(stop_requested());
    raise(SIGINT);   // blocked: held, not lost, and not left to kill the process
    EXPECT_TRUE(stop_requested());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait_or_stop(nullptr, 0, 10s), -1);
    EXPECT_TRUE(stop_requested());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(stop_signals, the_reply_pipe_is_awaited_until_its_reader_comes)
{
    install_stop_signals();
    fifo reply;
    std::thread supervisor([&] {
        std::this_thread::sleep_for(300ms);
        const int reader = open(reply.path.c_str(), O_RDONLY);
        std::this_thread::sleep_for(300ms);
        close(reader);
    });
    options result;
    EXPECT_FALSE(parse({"ndi-encoder", "-O", reply.path.c_str()}, result));
    supervisor.join();
    ASSERT_GE(result.reply_fd, 0);
    EXPECT_NE(fcntl(result.reply_fd, F_GETFL) & O_NONBLOCK, 0) << "a reply must never wait";
    close(result.reply_fd);
    EXPECT_FALSE(stop_requested());
}

TEST(stop_signals, a_stop_ends_the_wait_for_a_supervisor_that_never_comes)
{
    install_stop_signals();   // before the thread: it inherits the signals blocked
    fifo command, reply;
    std::thread service_manager([] {
        std::this_thread::sleep_for(300ms);
        kill(getpid(), SIGTERM);
    });
    options result;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(parse({"ndi-encoder", "-I", command.path.c_str(), "-O", reply.path.c_str()}, result));
    service_manager.join();
    EXPECT_TRUE(stop_requested());
    EXPECT_EQ(result.reply_fd, -1);
    EXPECT_GE(result.command_fd, 0) << "the command pipe is opened without waiting for a writer";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}
