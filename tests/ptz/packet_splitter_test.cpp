#include "ptz/packet_splitter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

void feed(packet_splitter& s, const bytes& b)
{
    s.feed(b.data(), long(b.size()));
}

std::vector<bytes> taken(packet_splitter& s)
{
    std::vector<bytes> out;
    packet_splitter::packet p;
    while (s.take(p))
        out.emplace_back(p.bytes.begin(), p.bytes.begin() + long(p.size));
    return out;
}

const bytes reply = {0x01, 0xA8, 0x05, 0x07, 0x00, 0x00, 0x01, 0xFE, 0x90, 0x41, 0xFF};

TEST(packet_splitter, reassembles_a_reply_that_arrives_in_three_reads)
{
    packet_splitter s;
    feed(s, bytes(reply.begin(), reply.begin() + 3));
    feed(s, bytes(reply.begin() + 3, reply.begin() + 9));
    EXPECT_TRUE(taken(s).empty());
    feed(s, bytes(reply.begin() + 9, reply.end()));
    EXPECT_EQ(taken(s), std::vector<bytes>{reply});
    EXPECT_EQ(s.pending_size(), 0u);
}

TEST(packet_splitter, cuts_one_read_into_its_messages_and_keeps_the_unfinished_one)
{
    packet_splitter s;
    bytes read = reply;
    read.insert(read.end(), reply.begin(), reply.end());
    read.insert(read.end(), {0x0F, 0xA0});
    feed(s, read);
    EXPECT_EQ(taken(s), (std::vector<bytes>{reply, reply}));
    EXPECT_EQ(s.pending_size(), 2u);
    s.feed(nullptr, 0);
    s.feed(nullptr, -1);
    EXPECT_EQ(s.pending_size(), 2u);
}

TEST(packet_splitter, keeps_to_200_bytes)
{
    packet_splitter s;
    bytes longest(199, 0x01);
    longest.push_back(0xFF);
    feed(s, longest);
    EXPECT_EQ(taken(s), std::vector<bytes>{longest});

    bytes too_long(200, 0x01);
    too_long.push_back(0xFF);
    feed(s, too_long);
    feed(s, reply);
    EXPECT_EQ(taken(s), std::vector<bytes>{reply});

    // A pending start that a segment would take past the limit is dropped;
    // the segment counts on its own, and the rest of the read goes on.
    feed(s, bytes(150, 0x02));
    bytes read(60, 0x03);
    read.push_back(0xFF);
    read.insert(read.end(), reply.begin(), reply.end());
    feed(s, read);
    bytes segment(60, 0x03);
    segment.push_back(0xFF);
    EXPECT_EQ(taken(s), (std::vector<bytes>{segment, reply}));
}

TEST(packet_splitter, discards_a_burst_without_terminator_and_goes_on)
{
    packet_splitter s;
    feed(s, bytes(1000, 0x55));
    EXPECT_EQ(s.pending_size(), 0u);
    feed(s, bytes(150, 0x55));
    feed(s, bytes(150, 0x66));   // cannot continue the 150: starts afresh
    EXPECT_EQ(s.pending_size(), 150u);
    feed(s, {0xFF});
    bytes expected(150, 0x66);
    expected.push_back(0xFF);
    EXPECT_EQ(taken(s), std::vector<bytes>{expected});
    feed(s, reply);
    EXPECT_EQ(taken(s), std::vector<bytes>{reply});
}

TEST(packet_splitter, drops_the_oldest_when_one_read_completes_more_than_four)
{
    packet_splitter s;
    bytes read;
    for (uint8_t i = 0; i < 6; ++i)
        read.insert(read.end(), {i, 0xFF});
    feed(s, read);
    EXPECT_EQ(taken(s), (std::vector<bytes>{{2, 0xFF}, {3, 0xFF}, {4, 0xFF}, {5, 0xFF}}));
}

TEST(packet_splitter, survives_random_bytes)
{
    const auto seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    std::mt19937 random(seed);
    packet_splitter s;
    packet_splitter::packet p;
    for (int round = 0; round < 2000; ++round) {
        bytes read(random() % 1000);
        for (auto& b : read)
            b = uint8_t(random() % 4 == 0 ? 0xFF : random());
        feed(s, read);
        while (s.take(p)) {
            ASSERT_GE(p.size, 1u) << "seed " << seed;
            ASSERT_LE(p.size, packet_splitter::max_packet) << "seed " << seed;
            ASSERT_EQ(p.bytes[p.size - 1], 0xFF) << "seed " << seed;
        }
        ASSERT_LE(s.pending_size(), packet_splitter::max_packet) << "seed " << seed;
    }
}

}  // namespace
