// The encoder cores' slice coder, apart from any bus: what it writes must
// decode with FFmpeg's speedhq decoder, also after the program's trim.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "sim/cores/encoder_core.h"
#include "sim/cores/speedhq_coder.h"
#include "sim/cores/video_pattern.h"
#include "sim/speedhq/speedhq_decode.h"

using namespace vfpga;

namespace {

struct source {
    pixel_layout layout;
    uint32_t width;   // of the picture in memory
    uint32_t height;
    uint32_t coded_width;

    picture_geometry geometry() const
    {
        picture_geometry g;
        g.layout = layout;
        g.width = width;
        g.height = height;
        g.stride = line_pitch(layout, width);
        return g;
    }
    uint32_t fourcc() const { return layout == pixel_layout::yuv420 ? fourcc_of("SHQ0") : fourcc_of("SHQ2"); }
};

std::string name_of(const source& s)
{
    return std::to_string(s.coded_width) + "/" + std::to_string(s.width) + "x" + std::to_string(s.height) +
        (s.layout == pixel_layout::yuv420 ? " 4:2:0" : " 4:2:2");
}

// The four slices of one picture, each in a buffer four times a core's room
// for it: enough for any picture (noise at Q 99 needs about three bytes a
// sample).
struct coded_slices {
    std::array<std::vector<uint8_t>, 4> bytes;
    std::array<uint32_t, 4> reported{};

    std::array<coded_slice, 4> as_coded() const
    {
        std::array<coded_slice, 4> out;
        for (unsigned s = 0; s < 4; ++s)
            out[s] = {bytes[s].data(), reported[s]};
        return out;
    }
    // Assembled with the reported lengths, untrimmed.
    std::vector<uint8_t> untrimmed(uint8_t q) const
    {
        std::vector<uint8_t> out = {q, 4, 0, 0};
        for (unsigned s = 0; s < 4; ++s)
            out.insert(out.end(), bytes[s].begin(), bytes[s].begin() + reported[s]);
        out.insert(out.end(), 4, 0);
        return out;
    }
};

coded_slices code(speedhq_coder& coder, const std::vector<uint8_t>& picture, const source& s,
                  const std::array<uint16_t, 64>& table)
{
    const coder_picture p{picture.data(), s.geometry().stride, s.coded_width, s.height, s.layout};
    coded_slices out;
    for (unsigned slice = 0; slice < 4; ++slice) {
        out.bytes[slice].assign(4 * encoder_core::slice_room(s.coded_width, s.height), 0xEE);
        out.reported[slice] =
            coder.code_slice(p, slice, table.data(), out.bytes[slice].data(), out.bytes[slice].size());
    }
    return out;
}

std::vector<uint8_t> rendered(const source& s, uint32_t number, test_pattern pattern = test_pattern::moving)
{
    const picture_geometry g = s.geometry();
    std::vector<uint8_t> picture(g.bytes());
    render_picture(picture.data(), g, number, 2, pattern);
    return picture;
}

yuv_planes planes_of(const std::vector<uint8_t>& picture, const source& s)
{
    return planes_of_source(picture.data(), s.layout, s.geometry().stride, s.coded_width, s.height);
}

decode_result decoded(const std::vector<uint8_t>& packet, const source& s)
{
    return speedhq_decode(packet, s.fourcc(), s.coded_width, s.height);
}

// Random, or $TEST_SEED to replay a run.
unsigned test_seed()
{
    const char* given = getenv("TEST_SEED");
    return given ? unsigned(strtoul(given, nullptr, 0)) : std::random_device{}();
}

}   // namespace

TEST(speedhq_coder, pictures_of_every_layout_and_size_decode_within_40_db)
{
    const source sources[] = {
        {pixel_layout::yuv422, 1920, 1080, 1920},                                          // full picture
        {pixel_layout::yuv422, 1920, 540, 1920},                                           // a field
        {pixel_layout::yuv420, 1920, 540, 1920},  {pixel_layout::yuv422, 640, 360, 640},   // preview
        {pixel_layout::yuv420, 480, 270, 448},   // a 4:2:0 preview, coded narrower
        {pixel_layout::yuv420, 320, 180, 320},    {pixel_layout::yuv422, 1000, 100, 992},   // partial width
        {pixel_layout::yuv420, 128, 135, 128},   // odd height: a line pair without its V line
    };
    speedhq_coder coder;
    for (const source& s : sources) {
        // Where the runtime's rate control settles with the moving pattern's
        // detail (about 90), and finer.
        for (int q : {88, 95}) {
            const std::vector<uint8_t> picture = rendered(s, 1234);
            const coded_slices slices = code(coder, picture, s, reciprocals_for_quality(q));
            const decode_result d = decoded(assemble_picture(uint8_t(q), slices.as_coded()), s);
            ASSERT_TRUE(d.picture) << name_of(s) << " q " << q << ": " << d.error;
            EXPECT_GE(psnr(*d.picture, planes_of(picture, s)), 40.0) << name_of(s) << " q " << q;
        }
    }
}

TEST(speedhq_coder, noise_at_any_quality_uses_every_code_and_decodes)
{
    // Noise gives large levels and long runs (escapes at q 99, nearly empty
    // blocks at q 0); a wrong code anywhere would throw the decoder off for
    // the rest of its slice.
    const unsigned seed = test_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    speedhq_coder coder;
    for (int round = 0; round < 12; ++round) {
        const pixel_layout layout = round % 2 ? pixel_layout::yuv420 : pixel_layout::yuv422;
        const uint32_t width = 64 * (1 + random() % 6), height = 49 + random() % 100;
        const source s{layout, width, height, width};
        std::vector<uint8_t> picture(s.geometry().bytes());
        // Mostly smooth, some noise: both short and long runs.
        for (size_t i = 0; i < picture.size(); ++i)
            picture[i] = random() % 4 == 0 ? uint8_t(random()) : uint8_t(128 + (i % 61));
        const int q = int(random() % 100);
        const coded_slices slices = code(coder, picture, s, reciprocals_for_quality(q));
        const decode_result d = decoded(assemble_picture(uint8_t(q), slices.as_coded()), s);
        ASSERT_TRUE(d.picture) << name_of(s) << " q " << q << ": " << d.error;
        // Reconstruction at coarse quantisation is poor, but a stream that
        // lost step would be far worse.
        EXPECT_GE(psnr(*d.picture, planes_of(picture, s)), q > 90 ? 30.0 : 10.0) << name_of(s) << " q " << q;
    }
}

TEST(speedhq_coder, slices_are_word_aligned_and_survive_the_programs_trim)
{
    const unsigned seed = test_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    speedhq_coder coder;
    unsigned top_bit_endings = 0;
    for (int round = 0; round < 40; ++round) {
        const source s{round % 2 ? pixel_layout::yuv420 : pixel_layout::yuv422, 128, 64 + uint32_t(random() % 64), 128};
        std::vector<uint8_t> picture(s.geometry().bytes());
        for (auto& b : picture)
            b = uint8_t(random() % 3 ? 100 : random());
        const int q = 30 + int(random() % 70);
        const coded_slices slices = code(coder, picture, s, reciprocals_for_quality(q));
        for (unsigned i = 0; i < 4; ++i) {
            const uint32_t length = slices.reported[i];
            ASSERT_LT(length, slices.bytes[i].size());
            ASSERT_EQ(length % 4, 0u);
            const uint8_t* b = slices.bytes[i].data();
            EXPECT_EQ(uint32_t(b[0] | b[1] << 8 | b[2] << 16), length) << "the length word counts the padding";
            const uint32_t kept = trimmed_length(b, length);
            ASSERT_GT(kept, 3u);
            if (b[kept - 1] == 0)
                ++top_bit_endings;
            EXPECT_EQ(b[length], 0xEE) << "nothing written after the slice";
        }
        const decode_result whole = decoded(slices.untrimmed(uint8_t(q)), s);
        const decode_result trimmed = decoded(assemble_picture(uint8_t(q), slices.as_coded()), s);
        ASSERT_TRUE(whole.picture && trimmed.picture) << whole.error << trimmed.error;
        EXPECT_EQ(whole.picture->y, trimmed.picture->y);
        EXPECT_EQ(whole.picture->cb, trimmed.picture->cb);
        EXPECT_EQ(whole.picture->cr, trimmed.picture->cr);
    }
    // About one slice in eight ends with the end-of-block's ones in bit 7.
    EXPECT_GT(top_bit_endings, 0u);
}

TEST(speedhq_coder, the_table_decides_the_quantisation)
{
    const source s{pixel_layout::yuv422, 640, 360, 640};
    const std::vector<uint8_t> picture = rendered(s, 77);
    speedhq_coder coder;
    const yuv_planes exact = planes_of(picture, s);
    auto quality = [&](int table_q, int header_q) {
        const coded_slices slices = code(coder, picture, s, reciprocals_for_quality(table_q));
        const decode_result d = decoded(assemble_picture(uint8_t(header_q), slices.as_coded()), s);
        return d.picture ? psnr(*d.picture, exact) : 0.0;
    };
    EXPECT_GE(quality(90, 90), 40.0);
    EXPECT_LT(quality(20, 90), 30.0);   // a table for another Q shows

    // Entry 0 scales the DC term: half of it darkens the picture.
    std::array<uint16_t, 64> half_dc = reciprocals_for_quality(70);
    half_dc[0] = 0x4000;
    const coded_slices slices = code(coder, picture, s, half_dc);
    const decode_result d = decoded(assemble_picture(70, slices.as_coded()), s);
    ASSERT_TRUE(d.picture) << d.error;
    EXPECT_LT(region_of(*d.picture, yuv_planes::y_plane, 0, 100, 640, 100).mean,
              0.6 * region_of(exact, yuv_planes::y_plane, 0, 100, 640, 100).mean);
}

TEST(speedhq_coder, a_slice_that_does_not_fit_reports_its_length_and_stays_in_its_room)
{
    const source s{pixel_layout::yuv422, 256, 64, 256};
    std::vector<uint8_t> picture(s.geometry().bytes());
    std::mt19937 random(7);
    for (auto& b : picture)
        b = uint8_t(random());
    speedhq_coder coder;
    const coder_picture p{picture.data(), s.geometry().stride, s.width, s.height, s.layout};
    const std::array<uint16_t, 64> table = reciprocals_for_quality(99);
    std::vector<uint8_t> roomy(1 << 20, 0);
    const uint32_t needed = coder.code_slice(p, 0, table.data(), roomy.data(), roomy.size());
    std::vector<uint8_t> tight(needed, 0xEE);
    const size_t room = needed / 2 + 1;
    EXPECT_EQ(coder.code_slice(p, 0, table.data(), tight.data(), room), needed);
    EXPECT_TRUE(std::equal(tight.begin(), tight.begin() + room, roomy.begin()));
    EXPECT_TRUE(std::all_of(tight.begin() + room, tight.end(), [](uint8_t b) { return b == 0xEE; }));
}
