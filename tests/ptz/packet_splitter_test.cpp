#include "ptz/packet_splitter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "tests/ptz/hex.h"

namespace {

using namespace std::chrono_literals;
using bytes = std::vector<uint8_t>;
using address = packet_splitter::address;

const auto t0 = packet_splitter::clock::time_point{} + 1000s;
const address controller = {192, 168, 5, 7};

struct cut {
    bytes packet;
    address sender;
    bool operator==(const cut&) const = default;
};

// Feeds b in one read at now and returns the packets it completed.
std::vector<bytes> feed(packet_splitter& s, const bytes& b, packet_splitter::clock::time_point now = t0,
                        std::vector<address>* senders = nullptr)
{
    std::vector<bytes> out;
    s.feed(b.data(), long(b.size()), now, [&](const uint8_t* p, size_t n, const address& from) {
        out.emplace_back(p, p + n);
        if (senders)
            senders->push_back(from);
    });
    return out;
}

serial_tag tag_of(const bytes& packet)
{
    serial_tag tag;
    std::copy(packet.begin(), packet.begin() + serial_tag::size, tag.bytes.begin());
    return tag;
}

// A splitter that awaits the answer to the command behind packet's tag.
void expect(packet_splitter& s, const bytes& packet, const address& sender = controller,
            packet_splitter::clock::time_point now = t0)
{
    s.expect(tag_of(packet), sender, now);
}

bytes joined(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

const bytes tag = {0x01, 0xA8, 0x05, 0x07, 0x00, 0x00, 0x01, 0xFE};
const bytes reply = joined({tag, {0x90, 0x51, 0xFF}});

TEST(packet_splitter, reassembles_a_reply_that_arrives_in_three_reads)
{
    packet_splitter s;
    expect(s, reply);
    EXPECT_TRUE(feed(s, bytes(reply.begin(), reply.begin() + 3)).empty());
    EXPECT_TRUE(feed(s, bytes(reply.begin() + 3, reply.begin() + 9)).empty());
    std::vector<address> senders;
    EXPECT_EQ(feed(s, bytes(reply.begin() + 9, reply.end()), t0, &senders), std::vector<bytes>{reply});
    EXPECT_EQ(senders, std::vector<address>{controller});
    EXPECT_EQ(s.pending_size(), 0u);
    EXPECT_TRUE(feed(s, {}).empty());
    s.feed(nullptr, -1, t0, [](const uint8_t*, size_t, const address&) { FAIL(); });
}

TEST(packet_splitter, hands_on_every_reply_of_one_read_and_keeps_the_unfinished_one)
{
    packet_splitter s;
    bytes read;
    std::vector<bytes> expected;
    for (uint8_t i = 0; i < 20; ++i) {
        bytes r = reply;
        r[5] = i;   // the sequence number
        expect(s, r);
        for (uint8_t kind : {0x41, 0x51}) {   // an acknowledgement, then the completion
            r[9] = kind;
            read.insert(read.end(), r.begin(), r.end());
            expected.push_back(r);
        }
    }
    // Replies to the service's own commands are packets too (routing drops them).
    const bytes own = {0x0F, 0xA0, 0xA0, 0xA0, 0x05, 0x05, 0x05, 0x05, 0x90, 0x51, 0xFF};
    read.insert(read.end(), own.begin(), own.end());
    expected.push_back(own);
    read.insert(read.end(), {0x0F, 0xA0});
    EXPECT_EQ(feed(s, read), expected);
    EXPECT_EQ(s.pending_size(), 2u);
    EXPECT_EQ(s.awaited_size(), 0u);
}

TEST(packet_splitter, cuts_replies_whose_data_read_like_headers_and_tags_whole)
{
    // Version, block and position answers: model 05 80, firmware 80 1D,
    // x0 bytes and 90 51 among the data, and data that repeat the tag.
    for (const bytes& visca : std::vector<bytes>{
             {0x90, 0x50, 0x00, 0x01, 0x05, 0x14, 0x01, 0x00, 0x02, 0xFF},
             {0x90, 0x50, 0x00, 0x01, 0x05, 0x80, 0x01, 0x00, 0x02, 0xFF},
             {0x90, 0x50, 0x00, 0x01, 0x80, 0x1D, 0x01, 0x00, 0x02, 0xFF},
             {0x90, 0x50, 0x00, 0x01, 0x90, 0x51, 0x01, 0x00, 0x02, 0xFF},
             {0x90, 0x50, 0xA0, 0x00, 0xC0, 0x00, 0x80, 0x00, 0xF0, 0x00, 0x90, 0x41, 0x00, 0xB0, 0xE0, 0xFF},
             {0x90, 0x50, 0x01, 0xA8, 0x05, 0x07, 0x00, 0x00, 0x01, 0xFE, 0x90, 0x51, 0x00, 0x00, 0xFF},
         }) {
        const bytes r = joined({tag, visca});
        packet_splitter s;
        expect(s, r);
        EXPECT_EQ(feed(s, r), std::vector<bytes>{r}) << hex(r);
        packet_splitter bytewise;
        expect(bytewise, r);
        std::vector<bytes> got;
        for (uint8_t b : r)
            for (auto& p : feed(bytewise, {b}))
                got.push_back(p);
        EXPECT_EQ(got, std::vector<bytes>{r}) << hex(r) << " a byte a read";
    }
}

TEST(packet_splitter, starts_a_packet_only_at_a_tag_still_awaited)
{
    packet_splitter s;
    std::vector<address> senders;
    // Never written: noise, whatever its shape.
    EXPECT_TRUE(feed(s, reply).empty());
    EXPECT_EQ(s.pending_size(), 0u);

    // An acknowledgement leaves it awaited; the completion ends it.
    expect(s, reply);
    bytes ack = reply;
    ack[9] = 0x41;
    EXPECT_EQ(feed(s, ack, t0, &senders), std::vector<bytes>{ack});
    EXPECT_EQ(feed(s, reply, t0, &senders), std::vector<bytes>{reply});
    EXPECT_TRUE(feed(s, reply).empty()) << "a second completion for one command";
    bytes error = reply;
    error[9] = 0x61;
    expect(s, reply);
    EXPECT_EQ(feed(s, joined({error, reply})), std::vector<bytes>{error}) << "an error completes too";

    // Written twice (a controller's retry): two answers, each to its sender.
    const address other = {10, 0, 0, 9};
    expect(s, reply, controller);
    expect(s, reply, other);
    senders.clear();
    EXPECT_EQ(feed(s, joined({reply, reply}), t0, &senders), (std::vector<bytes>{reply, reply}));
    EXPECT_EQ(senders, (std::vector<address>{controller, other}));

    // Noise becomes a packet only when it spells an awaited tag, a header,
    // a kind and a terminator, and then only for that command's sender.
    expect(s, reply, other);
    senders.clear();
    EXPECT_EQ(feed(s, joined({{0x12, 0x90, 0x41}, reply}), t0, &senders), std::vector<bytes>{reply});
    EXPECT_EQ(senders, std::vector<address>{other});

    // Forgotten after its lifetime, and the oldest makes room for a new one.
    expect(s, reply, controller, t0);
    EXPECT_TRUE(feed(s, reply, t0 + packet_splitter::tag_lifetime).empty());
    for (uint8_t i = 0; i <= packet_splitter::awaited_capacity; ++i) {
        bytes r = reply;
        r[6] = i;
        expect(s, r);
    }
    EXPECT_EQ(s.awaited_size(), packet_splitter::awaited_capacity);
    bytes first = reply;
    first[6] = 0;
    bytes last = reply;
    last[6] = packet_splitter::awaited_capacity;
    EXPECT_TRUE(feed(s, first).empty());
    EXPECT_EQ(feed(s, last), std::vector<bytes>{last});
}

TEST(packet_splitter, finds_a_real_tag_behind_line_noise)
{
    // Noise without a terminator of its own, glued in front of the reply;
    // some of it looks like a tag start or a reply header.
    for (const bytes& noise : std::vector<bytes>{
             {0x37},
             {0x01, 0x02, 0x03},
             {0x05, 0x90, 0x90, 0x00, 0x0E},
             {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x90, 0x41},
             bytes(500, 0x90),
             bytes(7, 0x00),
             {0x01, 0xA8, 0x05, 0x07},   // the tag's start, cut off
         }) {
        packet_splitter s;
        expect(s, reply);
        EXPECT_EQ(feed(s, joined({noise, reply})), std::vector<bytes>{reply}) << hex(noise);
        packet_splitter split;
        expect(split, reply);
        feed(split, noise);
        EXPECT_EQ(feed(split, reply), std::vector<bytes>{reply}) << hex(noise) << " in a read of its own";
    }
    // Noise that ends in a terminator is discarded whole.
    packet_splitter s;
    expect(s, reply);
    EXPECT_EQ(feed(s, joined({{0x44, 0x00, 0xFF, 0x12, 0xFF, 0x90, 0xFF}, reply})), std::vector<bytes>{reply});
}

TEST(packet_splitter, reads_a_tag_as_a_tag_when_the_origin_holds_ff)
{
    // Controllers at a.255.5.7, a.0.255.255 and a.255.255.255.
    for (const bytes& origin : std::vector<bytes>{{0xFF, 0x05, 0x07}, {0x00, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF}}) {
        bytes r = reply;
        std::copy(origin.begin(), origin.end(), r.begin() + 1);
        packet_splitter s;
        expect(s, r);
        r[9] = 0x41;
        EXPECT_EQ(feed(s, r), std::vector<bytes>{r}) << hex(r);
        std::vector<bytes> got;
        for (uint8_t b : r)
            for (auto& p : feed(s, {b}))
                got.push_back(p);
        EXPECT_EQ(got, std::vector<bytes>{r}) << hex(r) << " a byte a read";
        EXPECT_EQ(feed(s, joined({{0x66, 0x03}, r})), std::vector<bytes>{r}) << hex(r) << " after noise";
    }
}

TEST(packet_splitter, keeps_to_one_visca_message_behind_a_tag)
{
    packet_splitter s;
    bytes longest = reply;
    longest.insert(longest.end() - 1, 13, 0x00);   // 16 bytes of VISCA
    longest[9] = 0x41;
    expect(s, longest);
    EXPECT_EQ(feed(s, longest), std::vector<bytes>{longest});

    bytes too_long = longest;
    too_long.insert(too_long.end() - 1, 0x00);
    EXPECT_TRUE(feed(s, too_long).empty());
    EXPECT_TRUE(feed(s, bytes(1000, 0x00)).empty());   // a burst without terminator
    EXPECT_LE(s.pending_size(), packet_splitter::max_packet);
    EXPECT_EQ(feed(s, longest), std::vector<bytes>{longest});

    bytes no_header = longest;
    no_header[8] = 0x41;
    EXPECT_TRUE(feed(s, no_header).empty());
    bytes no_kind = longest;
    no_kind[9] = 0x30;
    EXPECT_TRUE(feed(s, no_kind).empty());
    EXPECT_EQ(feed(s, longest), std::vector<bytes>{longest});
}

TEST(packet_splitter, recovers_every_reply_from_a_noisy_line)
{
    const auto seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    std::mt19937 random(seed);
    packet_splitter s;
    bytes line;
    struct written {
        size_t at;   // where its first answer starts on the line
        serial_tag tag;
        address sender;
    };
    std::vector<written> commands;
    std::vector<cut> sent;
    for (int i = 0; i < 2000; ++i) {
        if (random() % 2) {   // a burst of noise, now and then with terminators in it
            bytes noise(random() % 40);
            for (auto& b : noise)
                b = uint8_t(random() % 8 == 0 ? 0xFF : random());
            line.insert(line.end(), noise.begin(), noise.end());
        }
        bytes r = {uint8_t(random() % 16), uint8_t(random()), uint8_t(random()), uint8_t(random())};
        for (int k = 0; k < 4; ++k)
            r.push_back((r[0] & (0x08 >> k)) ? 0xFE : uint8_t(random() % 255));
        const address sender = {uint8_t(random()), r[1], r[2], r[3]};
        commands.push_back({line.size(), tag_of(r), sender});
        r.push_back(random() % 2 ? 0x90 : 0xA0);
        r.push_back(0);
        for (size_t k = random() % 14; k > 0; --k)   // data bytes across the whole range
            r.push_back(uint8_t(random() % 255));
        r.push_back(0xFF);
        // An acknowledgement now and then, always a completion or an error.
        if (random() % 2) {
            r[9] = uint8_t(0x41 + random() % 2);
            line.insert(line.end(), r.begin(), r.end());
            sent.push_back({r, sender});
        }
        r[9] = uint8_t((random() % 2 ? 0x51 : 0x61) + random() % 2);
        line.insert(line.end(), r.begin(), r.end());
        sent.push_back({r, sender});
    }
    std::vector<cut> got;
    size_t awaited = 0;
    for (size_t at = 0; at < line.size();) {
        const size_t n = std::min(line.size() - at, size_t(random() % 300));
        // The camera answers what was written before.
        for (; awaited < commands.size() && commands[awaited].at < at + n; ++awaited)
            s.expect(commands[awaited].tag, commands[awaited].sender, t0);
        s.feed(line.data() + at, long(n), t0, [&](const uint8_t* p, size_t size, const address& from) {
            got.push_back({bytes(p, p + size), from});
        });
        at += n;
    }
    // Every reply arrives whole, in order, for its own sender, and noise
    // adds nothing.
    ASSERT_EQ(got.size(), sent.size()) << "seed " << seed;
    for (size_t i = 0; i < sent.size(); ++i) {
        ASSERT_EQ(hex(got[i].packet), hex(sent[i].packet)) << i << ", seed " << seed;
        ASSERT_TRUE(got[i].sender == sent[i].sender) << i << ", seed " << seed;
    }
}

}   // namespace
