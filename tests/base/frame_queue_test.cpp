#include "base/frame_queue.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "tests/support/debug_capture.h"

TEST(frame_queue, keeps_the_newest_entries_in_order)
{
    debug_capture log(5);
    frame_queue<int> queue;
    std::vector<std::shared_ptr<int>> pushed;
    for (int i = 1; i <= 5; ++i) {
        pushed.push_back(std::make_shared<int>(i));
        queue.push(pushed.back(), 'n', '@');
    }
    EXPECT_EQ(log.marks("n@"), "nnnn@n@");
    EXPECT_EQ(pushed[0].use_count(), 1);   // dropped entries are released
    for (size_t i = 2; i < 5; ++i)
        EXPECT_EQ(queue.take(), pushed[i]);
}

TEST(frame_queue, a_consumer_waits_for_entries_and_sees_the_stop_marker_last)
{
    debug_capture log(5);
    frame_queue<int> queue;
    std::vector<int> taken;
    std::thread consumer([&] {
        while (auto e = queue.take('c'))
            taken.push_back(*e);
    });
    for (int i = 1; i <= 3; ++i)
        queue.push(std::make_shared<int>(i), 0, '@');
    queue.push_unbounded(nullptr, 0);
    consumer.join();
    EXPECT_EQ(taken, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(log.marks("c@"), "cccc");   // the marker is marked as well
}
