#include "ptz/reply_limiter.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(reply_limiter, answers_at_most_four_in_any_second)
{
    reply_limiter limiter;
    const auto epoch = reply_limiter::clock::time_point{} + 100s;
    int answered = 0;
    for (int i = 0; i < 1000; ++i)   // a flood within one second
        answered += limiter.allow(epoch + i * 1ms);
    EXPECT_EQ(answered, 4);
    // A second after the first answer one more may go, not before.
    EXPECT_FALSE(limiter.allow(epoch + 999ms));
    EXPECT_TRUE(limiter.allow(epoch + 1000ms));
    EXPECT_FALSE(limiter.allow(epoch + 1000ms));
    EXPECT_TRUE(limiter.allow(epoch + 1001ms));
    EXPECT_TRUE(limiter.allow(epoch + 1002ms));
    EXPECT_TRUE(limiter.allow(epoch + 1003ms));
    EXPECT_FALSE(limiter.allow(epoch + 1500ms));
    // Enquiries a second apart are all answered.
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(limiter.allow(epoch + 3s + i * 1s)) << i;
}

}   // namespace

namespace {

TEST(discovery_budget, answers_enquiries_a_second_apart_through_a_flood_of_junk_and_bounds_both)
{
    discovery_budget budget;
    const auto epoch = discovery_budget::clock::time_point{} + 100s;
    int naks = 0, replies = 0;
    // Another host sends 50 junk datagrams a second for three seconds; an
    // enquiry comes half-way through each second.
    for (int tick = 0; tick < 150; ++tick) {
        const auto now = epoch + tick * 20ms;
        naks += budget.allow(false, now);
        if (tick % 50 == 25) {
            EXPECT_TRUE(budget.allow(true, now)) << "enquiry at tick " << tick;
        }
    }
    EXPECT_EQ(naks, 12);
    // A flood of enquiries is bounded as much.
    for (int i = 0; i < 1000; ++i)
        replies += budget.allow(true, epoch + 10s + i * 1ms);
    EXPECT_EQ(replies, 4);
}

}   // namespace
