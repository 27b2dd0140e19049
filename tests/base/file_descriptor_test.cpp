#include "base/file_descriptor.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <utility>

namespace {

int open_null()
{
    return open("/dev/null", O_RDONLY | O_CLOEXEC);
}

bool is_open(int fd)
{
    return fcntl(fd, F_GETFD) >= 0;
}

}   // namespace

TEST(file_descriptor, closes_what_it_holds_once_when_it_goes)
{
    int number = -1;
    {
        file_descriptor held(open_null());
        number = held.get();
        ASSERT_GE(number, 0);
        EXPECT_TRUE(held);
    }
    EXPECT_FALSE(is_open(number));
    EXPECT_EQ(errno, EBADF);

    EXPECT_FALSE(file_descriptor());
    EXPECT_FALSE(file_descriptor(-1));
}

// The number of a closed descriptor goes to the next open: an owner that
// closed twice would close somebody else's file.
TEST(file_descriptor, never_closes_a_number_it_has_given_up)
{
    file_descriptor first(open_null());
    const int number = first.get();
    first.reset();
    EXPECT_FALSE(first);
    EXPECT_FALSE(is_open(number));

    const int reused = open_null();
    ASSERT_EQ(reused, number) << "the lowest free number is given out next";
    first.reset();
    first = file_descriptor();
    {
        file_descriptor moved_from(std::move(first));
    }
    EXPECT_TRUE(is_open(reused));

    file_descriptor released(open_null());
    const int kept = released.release();
    EXPECT_FALSE(released);
    {
        file_descriptor gone(std::move(released));
    }
    EXPECT_TRUE(is_open(kept));
    close(kept);
    close(reused);
}

TEST(file_descriptor, moves_hand_the_descriptor_on)
{
    file_descriptor a(open_null());
    const int number = a.get();

    file_descriptor b(std::move(a));
    EXPECT_FALSE(a);
    EXPECT_EQ(b.get(), number);

    // Assigning closes what the target held before, and only that.
    file_descriptor c(open_null());
    const int replaced = c.get();
    c = std::move(b);
    EXPECT_EQ(c.get(), number);
    EXPECT_FALSE(b);
    EXPECT_FALSE(is_open(replaced));
    EXPECT_TRUE(is_open(number));

    file_descriptor& same = c;
    c = std::move(same);
    EXPECT_EQ(c.get(), number) << "a move onto itself keeps the descriptor";
    EXPECT_TRUE(is_open(number));

    // reset(fd) takes another; reset with the one held keeps it open.
    const int other = open_null();
    c.reset(other);
    EXPECT_FALSE(is_open(number));
    c.reset(other);
    EXPECT_TRUE(is_open(other));
    EXPECT_EQ(c.get(), other);
}
