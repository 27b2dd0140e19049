#include "base/utilities.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "base/board_root.h"

TEST(utilities, timestamps_count_100ns_units_of_the_wall_clock)
{
    // Each stamp and each interval between stamps is bracketed by the wall
    // clock read on either side, so that a unit or epoch mistake shows
    // however long the thread is kept off the processor.
    const auto wall_100ns = [] {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        return int64_t(now.tv_sec) * 10000000 + now.tv_nsec / 100;
    };
    const int64_t before_first = wall_100ns();
    const int64_t first = timestamp_100ns();
    const int64_t after_first = wall_100ns();
    timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
    const int64_t before_second = wall_100ns();
    const int64_t second = timestamp_100ns();
    const int64_t after_second = wall_100ns();

    EXPECT_GE(second - first, before_second - after_first - 1);
    EXPECT_LE(second - first, after_second - before_first + 1);
    // The epoch is taken once at start-up, from a microsecond clock.
    EXPECT_LT(std::llabs(first - before_first), 10000000);   // within a second
}

TEST(utilities, platform_paths_live_under_the_root)
{
    setenv(board_root_variable, "/tmp/board/", 1);
    EXPECT_EQ(platform_path("/dev/mem"), "/tmp/board/dev/mem");
    setenv(board_root_variable, "", 1);
    EXPECT_EQ(platform_path("/dev/mem"), "/dev/mem");
    unsetenv(board_root_variable);
    EXPECT_EQ(platform_path("/dev/ttyS1"), "/dev/ttyS1");
}
