#include "base/utilities.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <cstdlib>
#include <ctime>

TEST(utilities, timestamps_count_100ns_units_of_the_wall_clock)
{
    const int64_t first = timestamp_100ns();
    timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
    const int64_t second = timestamp_100ns();
    EXPECT_GE(second - first, 10000);
    EXPECT_LT(second - first, 10000 * 50);
    timeval now{};
    gettimeofday(&now, nullptr);
    const int64_t wall = int64_t(now.tv_sec) * 10000000 + now.tv_usec * 10;
    EXPECT_LT(std::llabs(wall - timestamp_100ns()), 10000000);   // within a second
}

TEST(utilities, platform_paths_live_under_the_root)
{
    setenv("NDI_ENCODER_ROOT", "/tmp/board/", 1);
    EXPECT_EQ(platform_path("/dev/mem"), "/tmp/board/dev/mem");
    setenv("NDI_ENCODER_ROOT", "", 1);
    EXPECT_EQ(platform_path("/dev/mem"), "/dev/mem");
    unsetenv("NDI_ENCODER_ROOT");
    EXPECT_EQ(platform_path("/dev/ttyS1"), "/dev/ttyS1");
}
