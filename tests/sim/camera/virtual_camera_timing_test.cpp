// virtual-camera as a program: its --timing record of what it read off the
// line and what it answered, on the wall clock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

int64_t wall_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}   // namespace

TEST(virtual_camera, timing_lists_each_message_read_and_each_reply_with_its_time)
{
    char dir[] = "/tmp/camera-timing-test-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string link = std::string(dir) + "/ttyS1", timing = std::string(dir) + "/timing";
    const pid_t camera = fork();
    ASSERT_GE(camera, 0);
    if (camera == 0) {
        execl(VIRTUAL_CAMERA_PATH, "virtual-camera", "--link", link.c_str(), "--timing", timing.c_str(), nullptr);
        _exit(127);
    }
    struct stat linked {};
    for (int i = 0; i < 200 && lstat(link.c_str(), &linked) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const int line = open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(line, 0);
    termios raw{};
    tcgetattr(line, &raw);
    cfmakeraw(&raw);
    tcsetattr(line, TCSANOW, &raw);

    // Zoom stop for camera 2, behind the service's own tag: acknowledged and
    // completed at once.
    const uint8_t command[] = {0x0F, 0xA0, 0xA0, 0xA0, 0x05, 0x05, 0x05, 0x05, 0x82, 0x01, 0x04, 0x07, 0x00, 0xFF};
    const int64_t before = wall_ns();
    ASSERT_EQ(write(line, command, sizeof command), ssize_t(sizeof command));
    std::vector<uint8_t> replies;
    while (replies.size() < 22) {
        pollfd readable{line, POLLIN, 0};
        ASSERT_GT(poll(&readable, 1, 5000), 0) << "the camera answers";
        uint8_t chunk[64];
        const ssize_t got = read(line, chunk, sizeof chunk);
        ASSERT_GT(got, 0);
        replies.insert(replies.end(), chunk, chunk + got);
    }
    const int64_t after = wall_ns();
    close(line);
    kill(camera, SIGTERM);
    int status = 0;
    waitpid(camera, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::ifstream in(timing);
    std::vector<std::string> lines;
    int64_t previous = before;
    for (std::string text; std::getline(in, text);) {
        long long seconds = 0, nanoseconds = 0;
        char rest[200] = {};
        ASSERT_EQ(std::sscanf(text.c_str(), "%lld.%9lld %199[^\n]", &seconds, &nanoseconds, rest), 3) << text;
        const int64_t at = seconds * 1000000000 + nanoseconds;
        EXPECT_GE(at, previous);
        EXPECT_LE(at, after);
        previous = at;
        lines.push_back(rest);
    }
    EXPECT_EQ(
        lines,
        (std::vector<std::string>{"in 0F A0 A0 A0 05 05 05 05 82 01 04 07 00 FF",
                                  "out 0F A0 A0 A0 05 05 05 05 A0 41 FF", "out 0F A0 A0 A0 05 05 05 05 A0 51 FF"}));
    std::remove(timing.c_str());
    rmdir(dir);
}
