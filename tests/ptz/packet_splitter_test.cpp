#include "ptz/packet_splitter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "tests/ptz/hex.h"

namespace {

using bytes = std::vector<uint8_t>;

// Feeds b in one read and returns the packets it completed.
std::vector<bytes> feed(packet_splitter& s, const bytes& b)
{
    std::vector<bytes> out;
    s.feed(b.data(), long(b.size()), [&](const uint8_t* p, size_t n) { out.emplace_back(p, p + n); });
    return out;
}

bytes joined(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

const bytes reply = {0x01, 0xA8, 0x05, 0x07, 0x00, 0x00, 0x01, 0xFE, 0x90, 0x41, 0xFF};

TEST(packet_splitter, reassembles_a_reply_that_arrives_in_three_reads)
{
    packet_splitter s;
    EXPECT_TRUE(feed(s, bytes(reply.begin(), reply.begin() + 3)).empty());
    EXPECT_TRUE(feed(s, bytes(reply.begin() + 3, reply.begin() + 9)).empty());
    EXPECT_EQ(feed(s, bytes(reply.begin() + 9, reply.end())), std::vector<bytes>{reply});
    EXPECT_EQ(s.pending_size(), 0u);
    EXPECT_TRUE(feed(s, {}).empty());
    s.feed(nullptr, -1, [](const uint8_t*, size_t) { FAIL(); });
}

TEST(packet_splitter, hands_on_every_reply_of_one_read_and_keeps_the_unfinished_one)
{
    packet_splitter s;
    bytes read;
    std::vector<bytes> expected;
    for (uint8_t i = 0; i < 20; ++i) {
        bytes r = reply;
        r[5] = i;   // the sequence number
        r[9] = uint8_t(i % 2 ? 0x51 : 0x41);
        read.insert(read.end(), r.begin(), r.end());
        expected.push_back(r);
    }
    // Replies to the service's own commands are packets too (routing drops them).
    const bytes own = {0x0F, 0xA0, 0xA0, 0xA0, 0x05, 0x05, 0x05, 0x05, 0xA0, 0x51, 0xFF};
    read.insert(read.end(), own.begin(), own.end());
    expected.push_back(own);
    read.insert(read.end(), {0x0F, 0xA0});
    EXPECT_EQ(feed(s, read), expected);
    EXPECT_EQ(s.pending_size(), 2u);
}

TEST(packet_splitter, finds_a_real_tag_behind_line_noise)
{
    // Noise without a terminator of its own, glued in front of the reply;
    // some of it looks like a tag start or a reply header.
    for (const bytes& noise : std::vector<bytes>{
             {0x37},
             {0x01, 0x02, 0x03},
             {0x05, 0x90, 0x90, 0x00, 0x0E},
             {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x90},
             bytes(500, 0x90),
             bytes(7, 0x00),
         }) {
        packet_splitter s;
        EXPECT_EQ(feed(s, joined({noise, reply})), std::vector<bytes>{reply}) << hex(noise);
        packet_splitter split;
        feed(split, noise);
        EXPECT_EQ(feed(split, reply), std::vector<bytes>{reply}) << hex(noise) << " in a read of its own";
    }
    // Noise that ends in a terminator is discarded whole.
    packet_splitter s;
    EXPECT_EQ(feed(s, joined({{0x44, 0x00, 0xFF, 0x12, 0xFF, 0x90, 0xFF}, reply})), std::vector<bytes>{reply});
}

TEST(packet_splitter, reads_a_tag_as_a_tag_when_the_origin_holds_ff)
{
    // Controllers at a.255.5.7, a.0.255.255 and a.255.255.255.
    for (const bytes& origin : std::vector<bytes>{{0xFF, 0x05, 0x07}, {0x00, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF}}) {
        bytes r = reply;
        std::copy(origin.begin(), origin.end(), r.begin() + 1);
        packet_splitter s;
        EXPECT_EQ(feed(s, r), std::vector<bytes>{r}) << hex(r);
        packet_splitter bytewise;
        std::vector<bytes> got;
        for (uint8_t b : r)
            for (auto& p : feed(bytewise, {b}))
                got.push_back(p);
        EXPECT_EQ(got, std::vector<bytes>{r}) << hex(r) << " a byte a read";
        packet_splitter after_noise;
        EXPECT_EQ(feed(after_noise, joined({{0x66, 0x03}, r})), std::vector<bytes>{r}) << hex(r) << " after noise";
    }
}

TEST(packet_splitter, keeps_to_one_visca_message_behind_a_tag)
{
    packet_splitter s;
    bytes longest = reply;
    longest.insert(longest.end() - 1, 13, 0x00);   // 16 bytes of VISCA
    EXPECT_EQ(feed(s, longest), std::vector<bytes>{longest});

    bytes too_long = reply;
    too_long.insert(too_long.end() - 1, 14, 0x00);
    EXPECT_TRUE(feed(s, too_long).empty());
    EXPECT_TRUE(feed(s, bytes(1000, 0x00)).empty());   // a burst without terminator
    EXPECT_LE(s.pending_size(), packet_splitter::max_packet);
    EXPECT_EQ(feed(s, reply), std::vector<bytes>{reply});

    bytes bad_tag = reply;
    bad_tag[0] = 0x08;   // says sequence byte 4 was 0xFF, but it holds 00
    EXPECT_TRUE(feed(s, bad_tag).empty());
    bytes no_header = reply;
    no_header[8] = 0x41;
    EXPECT_TRUE(feed(s, no_header).empty());
    EXPECT_EQ(feed(s, reply), std::vector<bytes>{reply});
}

TEST(packet_splitter, recovers_every_reply_from_a_noisy_line)
{
    const auto seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    std::mt19937 random(seed);
    packet_splitter s;
    bytes line;
    std::vector<bytes> sent;
    for (int i = 0; i < 2000; ++i) {
        if (random() % 2) {   // a burst of noise, now and then with terminators in it
            bytes noise(random() % 40);
            for (auto& b : noise)
                b = uint8_t(random() % 8 == 0 ? 0xFF : random());
            line.insert(line.end(), noise.begin(), noise.end());
        }
        bytes r = {uint8_t(random() % 16), uint8_t(random() % 255), uint8_t(random() % 255), uint8_t(random() % 255)};
        for (int k = 0; k < 4; ++k)
            r.push_back((r[0] & (0x08 >> k)) ? 0xFE : uint8_t(random() % 255));
        r.push_back(random() % 2 ? 0x90 : 0xA0);
        r.push_back(uint8_t(0x41 + random() % 0x20));
        for (size_t k = random() % 12; k > 0; --k)
            r.push_back(uint8_t(random() % 16));
        r.push_back(0xFF);
        line.insert(line.end(), r.begin(), r.end());
        sent.push_back(r);
    }
    std::vector<bytes> got;
    for (size_t at = 0; at < line.size();) {
        const size_t n = std::min(line.size() - at, size_t(random() % 300));
        for (auto& p : feed(s, bytes(line.begin() + long(at), line.begin() + long(at + n)))) {
            ASSERT_LE(p.size(), packet_splitter::max_packet) << "seed " << seed;
            ASSERT_EQ(p.back(), 0xFF) << "seed " << seed;
            ASSERT_TRUE(well_formed_tag(p.data())) << "seed " << seed;
            got.push_back(p);
        }
        at += n;
    }
    // Every reply arrives, in order; noise may add a packet of its own now
    // and then, which the routing refuses or sends where its tag says.
    auto next = got.begin();
    for (const auto& r : sent) {
        next = std::find(next, got.end(), r);
        ASSERT_NE(next, got.end()) << "lost " << hex(r) << ", seed " << seed;
        ++next;
    }
}

}   // namespace
