#include "base/format_text.h"

#include <gtest/gtest.h>

#include <string>

TEST(format_text, formats_whatever_the_length)
{
    EXPECT_EQ(format_text("%s:%u.%u.%u.%u", "IPADR", 192u, 168u, 5u, 20u), "IPADR:192.168.5.20");
    EXPECT_EQ(format_text("%s", ""), "");
    EXPECT_EQ(format_text("%.3s|%2.2f", "abcdef", 59.94), "abc|59.94");

    // Around and far beyond the first try's buffer: nothing cut, nothing added.
    for (size_t length : {126u, 127u, 128u, 129u, 5000u}) {
        const std::string long_text(length, 'x');
        EXPECT_EQ(format_text("%s", long_text.c_str()), long_text) << length;
        EXPECT_EQ(format_text("<%s>", long_text.c_str()), "<" + long_text + ">") << length;
    }
}
