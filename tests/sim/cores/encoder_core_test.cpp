// The virtual encoder cores, driven through the bus with the program's
// register sequence: what they code decodes with FFmpeg to the exact
// source, the shared interrupt, guest errors and the injected faults.
#include <gtest/gtest.h>

#include <sys/time.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "hw/hardware.h"
#include "hw/registers.h"
#include "sim/cores/encoder_core.h"
#include "sim/cores/video_pattern.h"
#include "sim/speedhq/speedhq_decode.h"
#include "tests/support/debug_capture.h"
#include "tests/support/test_board.h"

using namespace vfpga;

namespace {

constexpr uint32_t MiB = 1u << 20;

board_config config_of(int encoders, const char* clock = "fast", const std::string& pattern = "moving")
{
    board_config c = test_board::small_config();
    c.encoders = encoders;
    c.clock = clock;
    c.reserved_size = 16 * MiB;
    c.settings["pattern"] = pattern;
    return c;
}

// One picture in raw video memory, and how the program codes it.
struct picture {
    pixel_layout layout = pixel_layout::yuv422;
    uint32_t width = 0;   // of the picture in memory
    uint32_t height = 0;
    uint32_t coded_width = 0;   // the program's rule: 4:2:0 a multiple of 64 below, 4:2:2 of 16

    static picture of(pixel_layout layout, uint32_t width, uint32_t height)
    {
        const uint32_t coded = layout == pixel_layout::yuv420 ? width & ~63u : width & ~15u;
        return {layout, width, height, coded};
    }
    uint32_t stride() const { return line_pitch(layout, width); }
    bool partial() const { return layout == pixel_layout::yuv422 && coded_width % 64; }
    picture_geometry geometry() const { return {layout, width, height, stride(), 1}; }
    uint32_t fourcc() const { return layout == pixel_layout::yuv420 ? fourcc_of("SHQ0") : fourcc_of("SHQ2"); }
    std::string name() const
    {
        return std::to_string(coded_width) + "/" + std::to_string(width) + "x" + std::to_string(height) +
            (layout == pixel_layout::yuv420 ? " 4:2:0" : " 4:2:2");
    }
};

// The program's side of the bus, step by step as the compression thread
// takes it.
class program {
public:
    // used: the cores the program counts (all there are by default).
    explicit program(board_config config, unsigned used = 0)
        : board(config), hw(std::make_unique<hardware>()), count(used ? used : unsigned(config.encoders))
    {
        hw->translate_addresses = true;
    }

    // Thread start: each step on every core before the next.
    void reset_cores()
    {
        for (unsigned i = 0; i < count; ++i)
            hw->write_reg8(regs::encoder_block(i), regs::control, regs::lane_events, regs::events_clear);
        for (unsigned i = 0; i < count; ++i)
            hw->write_reg32(regs::encoder_block(i), regs::control, 0);
        hw->enable_irq(regs::irq_encoders);
        for (unsigned i = 0; i < count; ++i)
            hw->write_reg8(regs::encoder_block(i), regs::control, regs::lane_enable, regs::events_enable);
    }

    void load_table(unsigned slot, const std::array<uint16_t, 64>& values, unsigned cores = 0)
    {
        for (unsigned e = 0; e < 64; ++e)
            for (unsigned i = 0; i < (cores ? cores : count); ++i)
                hw->write_reg32(regs::encoder_block(i), regs::encoder_quant_port, regs::quant_word(slot, e, values[e]));
    }

    // Renders picture number of the board's pattern into raw video memory.
    std::vector<uint8_t> render(const picture& p, uint32_t number, test_pattern pattern = test_pattern::moving)
    {
        const picture_geometry g = p.geometry();
        std::vector<uint8_t> bytes(g.bytes());
        render_picture(bytes.data(), g, number, 2, pattern);
        memcpy(board.physical(source, bytes.size()), bytes.data(), bytes.size());
        return bytes;
    }

    uint32_t core_bytes(const picture& p) const
    {
        return (4 / count) * encoder_core::slice_room(p.coded_width, p.height);
    }

    void program_cores(const picture& p, unsigned slot, unsigned cores = 0)
    {
        const unsigned per_core = 4 / count;
        for (unsigned i = 0; i < (cores ? cores : count); ++i) {
            const uint32_t block = regs::encoder_block(i);
            hw->write_reg32(block, regs::encoder_control_word,
                            regs::encoder_control(slot, per_core * i, per_core * (i + 1) - 1,
                                                  p.layout == pixel_layout::yuv420, p.partial()));
            hw->write_reg32(block, regs::encoder_source, source);
            hw->write_reg32(block, regs::encoder_output, hw->bus_address(chunk + i * core_bytes(p)));
            hw->write_reg32(block, regs::encoder_width, p.coded_width);
            hw->write_reg32(block, regs::encoder_height, p.height);
            hw->write_reg32(block, regs::encoder_stride, p.stride());
        }
    }

    void start(unsigned first = 0, unsigned end = 0)
    {
        for (unsigned i = first; i < (end ? end : count); ++i)
            hw->write_reg8(regs::encoder_block(i), regs::control, regs::lane_command, regs::command_arm);
    }

    bool wait(long ms = 10000)
    {
        timeval limit{ms / 1000, (ms % 1000) * 1000};
        return hw->wait_irq(regs::irq_encoders, &limit) == 0;
    }

    void acknowledge(unsigned cores = 0)
    {
        for (unsigned i = 0; i < (cores ? cores : count); ++i)
            hw->write_reg8(regs::encoder_block(i), regs::control, regs::lane_events, regs::events_clear);
        hw->enable_irq(regs::irq_encoders);
    }

    uint32_t reported(unsigned slice)
    {
        return hw->read_reg32(regs::encoder_block(slice / (4 / count)), regs::encoder_slice_length + slice);
    }

    // The slices where the program finds them: each core's one after
    // another from the start of its share.
    std::array<coded_slice, 4> slices(const picture& p)
    {
        std::array<coded_slice, 4> out;
        const uint8_t* at = nullptr;
        for (unsigned s = 0; s < 4; ++s) {
            if (s % (4 / count) == 0)
                at = hw->cpu_address(chunk + (s / (4 / count)) * core_bytes(p));
            out[s] = {at, reported(s)};
            at += out[s].reported;
        }
        return out;
    }

    // One picture: the whole per-picture sequence, the interrupt awaited.
    decode_result code(const picture& p, unsigned slot, uint8_t q)
    {
        program_cores(p, slot);
        start();
        if (!wait())
            return {std::nullopt, "no interrupt"};
        acknowledge();
        return speedhq_decode(assemble_picture(q, slices(p)), p.fourcc(), p.coded_width, p.height);
    }

    bool busy(unsigned core)
    {
        return (hw->read_reg32(regs::encoder_block(core), regs::control) & regs::state_mask) == regs::state_busy;
    }

    test_board board;
    std::unique_ptr<hardware> hw;
    const unsigned count;
    const uint32_t source = test_board::small_config().video_address;
    const uint32_t chunk = 0;   // offset into the reserved memory
};

yuv_planes exact(const std::vector<uint8_t>& bytes, const picture& p)
{
    return planes_of_source(bytes.data(), p.layout, p.stride(), p.coded_width, p.height);
}

// Codes picture number of p with the table in slot 0 (for Q q) and
// expects the decoded picture within 40 dB of its source (at a Q near where
// the rate control settles with the moving pattern's detail, about 90).
void expect_coded_exactly(program& side, const picture& p, uint32_t number, uint8_t q)
{
    const std::vector<uint8_t> source = side.render(p, number);
    const decode_result d = side.code(p, 0, q);
    ASSERT_TRUE(d.picture) << p.name() << ": " << d.error;
    EXPECT_GE(psnr(*d.picture, exact(source, p)), 40.0) << p.name();
}

// The guest errors since the last look, which the test answers for.
std::vector<std::string> errors_of(program& side)
{
    return side.board.take_guest_errors();
}

}   // namespace

TEST(encoder_cores, code_every_layout_through_one_two_and_four_cores_to_the_exact_source)
{
    const picture pictures[] = {
        picture::of(pixel_layout::yuv422, 1920, 1080),                                                 // full picture
        picture::of(pixel_layout::yuv420, 1920, 1080), picture::of(pixel_layout::yuv422, 1920, 540),   // a field
        picture::of(pixel_layout::yuv420, 1920, 540),  picture::of(pixel_layout::yuv422, 640, 360),    // preview
        picture::of(pixel_layout::yuv420, 480, 270),    // 4:2:0 preview: coded 448 wide
        picture::of(pixel_layout::yuv420, 320, 135),    // odd height
        picture::of(pixel_layout::yuv422, 1000, 200),   // partial width: coded 992
    };
    std::vector<std::vector<uint8_t>> first_slices;   // with one core
    for (int cores : {1, 2, 4}) {
        program side(config_of(cores));
        side.reset_cores();
        // Where the runtime's rate control settles with the moving pattern.
        side.load_table(5, reciprocals_for_quality(90));
        size_t n = 0;
        for (const picture& p : pictures) {
            const std::vector<uint8_t> source = side.render(p, 1000 + uint32_t(n));
            const decode_result d = side.code(p, 5, 90);
            ASSERT_TRUE(d.picture) << cores << " cores, " << p.name() << ": " << d.error;
            EXPECT_GE(psnr(*d.picture, exact(source, p)), 40.0) << cores << " cores, " << p.name();
            if (p.coded_width == p.width) {
                EXPECT_EQ(read_picture_number(d.picture->y.data(), d.picture->width, d.picture->width,
                                              d.picture->height, p.geometry()),
                          1000 + n)
                    << p.name();
            }
            // The cores split the work, not the stream: the same bytes whatever their number.
            std::vector<uint8_t> coded;
            for (const coded_slice& s : side.slices(p))
                coded.insert(coded.end(), s.data, s.data + s.reported);
            if (cores == 1)
                first_slices.push_back(coded);
            else
                EXPECT_EQ(coded, first_slices[n]) << cores << " cores, " << p.name();
            ++n;
        }
        EXPECT_EQ(errors_of(side), std::vector<std::string>{});
    }
}

TEST(encoder_cores, bars_decode_to_their_levels_and_are_flat_inside)
{
    program side(config_of(4, "fast", "bars"));
    side.reset_cores();
    side.load_table(0, reciprocals_for_quality(70));
    for (const picture& p :
         {picture::of(pixel_layout::yuv422, 1920, 1080), picture::of(pixel_layout::yuv420, 1920, 1080),
          picture::of(pixel_layout::yuv422, 640, 360), picture::of(pixel_layout::yuv420, 320, 180)}) {
        side.render(p, 5, test_pattern::bars);
        const decode_result d = side.code(p, 0, 70);
        ASSERT_TRUE(d.picture) << p.name() << ": " << d.error;
        for (unsigned bar = 0; bar < 8; ++bar) {
            const bar_colour expected = bar_of(test_pattern::bars, bar);
            const uint8_t levels[3] = {expected.y, expected.cb, expected.cr};
            for (int plane = 0; plane < 3; ++plane) {
                // The middle of the bar: clear of the ringing at its edges.
                const uint32_t scale = plane == yuv_planes::y_plane ? 1 : 2;
                const uint32_t left = bar_start(bar, p.width) / scale, right = bar_start(bar + 1, p.width) / scale;
                const uint32_t margin = (right - left) / 4;
                const uint32_t lines = d.picture->plane_height(plane);
                const region_statistics r =
                    region_of(*d.picture, plane, left + margin, lines / 8, right - left - 2 * margin, lines * 3 / 4);
                EXPECT_NEAR(r.mean, levels[plane], 4.0) << p.name() << " bar " << bar << " plane " << plane;
                EXPECT_LE(r.highest - r.lowest, 2) << p.name() << " bar " << bar << " plane " << plane;
            }
        }
    }
    EXPECT_EQ(errors_of(side), std::vector<std::string>{});
}

TEST(encoder_cores, quantise_with_the_table_of_the_slot_that_each_core_holds)
{
    program side(config_of(2));
    side.reset_cores();
    const picture p = picture::of(pixel_layout::yuv422, 640, 360);
    const yuv_planes source = exact(side.render(p, 3), p);
    side.load_table(1, reciprocals_for_quality(90));
    side.load_table(2, reciprocals_for_quality(20));
    const decode_result right = side.code(p, 1, 90), wrong = side.code(p, 2, 90);
    ASSERT_TRUE(right.picture && wrong.picture);
    EXPECT_GE(psnr(*right.picture, source), 40.0);
    EXPECT_LT(psnr(*wrong.picture, source), 30.0);   // the program's wrong table shows

    // Each core keeps its own slots: one loaded on core 0 alone is not on core 1.
    side.load_table(3, reciprocals_for_quality(80), 1);
    side.code(p, 3, 80);
    EXPECT_EQ(errors_of(side), std::vector<std::string>{"encoder1: started with table slot 3, which was never loaded"});
    EXPECT_GT(side.reported(1), 0u);   // core 0's half; core 1's slices are empty
    EXPECT_EQ(side.reported(2), 0u);
    EXPECT_EQ(side.reported(3), 0u);
}

TEST(encoder_cores, the_interrupt_rises_when_every_started_core_is_done_and_falls_on_acknowledge)
{
    program side(config_of(4, "stepped"));
    fpga& board = side.board.fpga();
    side.reset_cores();
    side.load_table(0, reciprocals_for_quality(60));
    const picture p = picture::of(pixel_layout::yuv422, 1280, 720);   // 45 rows: 12, 11, 11, 11
    side.render(p, 1);
    side.program_cores(p, 0);
    side.start();
    using std::chrono::nanoseconds;
    const auto rows_time = [&](uint32_t rows) {
        return nanoseconds(uint64_t(rows) * 16 * p.coded_width * 1'000'000'000 / encoder_core::pixels_per_second);
    };
    board.step(rows_time(11));   // cores 1-3 are done, core 0 codes one row more
    ASSERT_TRUE(eventually([&] { return !side.busy(1) && !side.busy(2) && !side.busy(3); }));
    EXPECT_TRUE(side.busy(0));
    EXPECT_FALSE(side.wait(50));
    EXPECT_EQ(side.hw->read_reg8(regs::encoder_block(1), regs::control, regs::lane_events), regs::events_mask);

    board.step(rows_time(1));
    ASSERT_TRUE(side.wait());
    EXPECT_EQ(board.irq_count(regs::irq_encoders), 1u);
    // The line stays up until the cores are acknowledged: re-enabled
    // before, it interrupts again; after, it does not.
    side.hw->enable_irq(regs::irq_encoders);
    EXPECT_EQ(board.irq_count(regs::irq_encoders), 2u);
    EXPECT_TRUE(side.wait());
    side.acknowledge();
    EXPECT_EQ(board.irq_count(regs::irq_encoders), 2u);
    EXPECT_EQ(side.hw->read_reg8(regs::encoder_block(3), regs::control, regs::lane_events), 0);

    // A core done before the program started the next one raises nothing.
    side.start(0, 2);
    board.step(rows_time(12));
    ASSERT_TRUE(eventually([&] { return !side.busy(0) && !side.busy(1); }));
    EXPECT_FALSE(side.wait(50));
    side.start(2, 4);
    board.step(rows_time(12));
    EXPECT_TRUE(side.wait());
    EXPECT_EQ(errors_of(side), std::vector<std::string>{});
}

TEST(encoder_cores, two_cores_of_four_code_a_picture_while_the_others_idle)
{
    program side(config_of(4), 2);   // three present cores count as two
    side.reset_cores();
    side.load_table(0, reciprocals_for_quality(90));
    expect_coded_exactly(side, picture::of(pixel_layout::yuv422, 640, 360), 9, 90);
    EXPECT_EQ(errors_of(side), std::vector<std::string>{});
}

TEST(encoder_cores, program_faults_are_guest_errors_and_still_end_in_an_interrupt)
{
    program side(config_of(1, "stepped"));
    fpga& board = side.board.fpga();
    side.reset_cores();
    const uint32_t block = regs::encoder_block(0);
    const picture p = picture::of(pixel_layout::yuv422, 640, 360);
    side.render(p, 1);
    auto refused = [&](const char* what) {
        side.start();
        EXPECT_TRUE(side.wait()) << what;
        side.acknowledge();
        EXPECT_EQ(side.reported(0), 0u) << what;
    };

    refused("nothing programmed");
    side.program_cores(p, 0);
    refused("no table");
    for (unsigned e = 0; e < 63; ++e)
        side.hw->write_reg32(block, regs::encoder_quant_port, regs::quant_word(0, e, 100));
    refused("a table in part");
    side.load_table(0, reciprocals_for_quality(50));

    auto with = [&](std::initializer_list<std::pair<unsigned, uint32_t>> writes, const char* what) {
        side.program_cores(p, 0);
        for (const auto& [reg, value] : writes)
            side.hw->write_reg32(block, reg, value);
        refused(what);
    };
    with({{regs::encoder_width, 1000}}, "width not a multiple of 16");
    with({{regs::encoder_width, 8192}}, "width too large");
    with({{regs::encoder_control_word, regs::encoder_control(0, 0, 3, true, false)}, {regs::encoder_width, 656}},
         "4:2:0 not a multiple of 64");
    with({{regs::encoder_control_word, regs::encoder_control(0, 0, 3, false, true)}}, "partial bit on a whole width");
    with({{regs::encoder_control_word, regs::encoder_control(9, 0, 3, false, false)}}, "slot 9");
    with({{regs::encoder_control_word, regs::encoder_control(0, 2, 1, false, false)}}, "slices backwards");
    with({{regs::encoder_height, 0}}, "no height");
    with({{regs::encoder_stride, 1000}}, "line pitch too short");
    with({{regs::encoder_source, 0xFFF00000}}, "source outside memory");
    with({{regs::encoder_output, 0xFFF00000}}, "output outside memory");
    side.hw->write_reg32(block, regs::encoder_slice_length, 5);
    side.hw->write_reg32(block, regs::encoder_present, 0);
    side.hw->write_reg32(block, regs::encoder_quant_port, regs::quant_word(0, 0, 0x10000));
    side.hw->write_reg32(block, regs::encoder_quant_port, 0x00000001);
    side.hw->write_reg32(block, 9, 7);
    EXPECT_EQ(side.hw->read_reg32(block, regs::encoder_present), 1u);

    // A start while the core is coding.
    side.program_cores(p, 0);
    side.start();
    side.start();
    board.step(std::chrono::seconds(1));
    EXPECT_TRUE(side.wait());
    EXPECT_GT(side.reported(0), 0u);

    const std::vector<std::string> expected = {
        "encoder0: started without a programmed picture: register(s) 3, 4, 5, 6, 7, 8 never written",
        "encoder0: started with table slot 0, which was never loaded",
        "encoder0: started with table slot 0, loaded in part (63 of 64 entries)",
        "encoder0: cannot code width 1000: not a multiple of 16",
        "encoder0: cannot code width 8192: wider than the core's line buffers",
        "encoder0: cannot code width 656: 4:2:0 is coded in multiples of 64",
        "encoder0: cannot code width 640: the partial-width bit is set for a whole width",
        "encoder0: control word 0x00003009 names table slot 9 of 8",
        "encoder0: control word 0x00001200 names slices 2 to 1 of 4",
        "encoder0: cannot code height 0",
        "encoder0: a line pitch of 1000 bytes does not hold 640 pixels of 4:2:2",
        "encoder0: source picture at 0xfff00000 (460800 bytes) lies outside memory",
        "encoder0: output share at bus address 0xfff00000 (493312 bytes) lies outside memory",
        "encoder0: write to the read-only register 11",
        "encoder0: write to the read-only register 15",
        "encoder0: table-port word 0x80010000: value 0x10000 does not fit the core's 16-bit entries",
        "unimplemented: encoder0: table-port word 0x00000001 without bit 31",
        "encoder0: write to unused register 9",
        "encoder0: started while still coding the previous job",
    };
    EXPECT_EQ(errors_of(side), expected);
}

TEST(encoder_cores, a_hung_core_holds_the_interrupt_back_until_it_is_stopped)
{
    board_config c = config_of(4, "fast");
    c.settings["encoder_fault"] = "hang:1:2";   // core 1's second start hangs
    program side(c);
    side.reset_cores();
    side.load_table(0, reciprocals_for_quality(60));
    const picture p = picture::of(pixel_layout::yuv422, 640, 360);
    side.render(p, 1);
    ASSERT_TRUE(side.code(p, 0, 60).picture);

    side.program_cores(p, 0);
    side.start();
    ASSERT_TRUE(eventually([&] { return !side.busy(0) && !side.busy(2) && !side.busy(3); }));
    EXPECT_TRUE(side.busy(1));
    EXPECT_FALSE(side.wait(100));
    side.start(1, 2);   // a hung core ignores starts, quietly
    EXPECT_TRUE(side.busy(1));

    // Stopped, it is idle; its slice was never coded, so still no interrupt.
    side.hw->write_reg32(regs::encoder_block(1), regs::control, 0);
    side.hw->write_reg8(regs::encoder_block(1), regs::control, regs::lane_enable, regs::events_enable);
    EXPECT_FALSE(side.busy(1));
    EXPECT_FALSE(side.wait(50));
    side.acknowledge();
    EXPECT_TRUE(side.code(p, 0, 60).picture);   // its third start codes again
    EXPECT_EQ(errors_of(side), std::vector<std::string>{});
}

TEST(encoder_cores, an_overflow_is_reported_beyond_the_share_and_nothing_is_written_there)
{
    // Injected: core 2 reports its slice as longer than its share.
    board_config c = config_of(4);
    c.settings["encoder_fault"] = "overflow:2";
    {
        program side(c);
        side.reset_cores();
        side.load_table(0, reciprocals_for_quality(60));
        const picture p = picture::of(pixel_layout::yuv422, 640, 360);
        side.render(p, 1);
        side.program_cores(p, 0);
        side.start();
        ASSERT_TRUE(side.wait());
        EXPECT_EQ(side.reported(2), side.core_bytes(p) + 4);
        for (unsigned s : {0u, 1u, 3u})
            EXPECT_LT(side.reported(s), side.core_bytes(p));
    }

    // A real one: noise at Q 99 does not fit, and a core stops at its share's end.
    for (int cores : {1, 4}) {
        program side(config_of(cores));
        side.reset_cores();
        side.load_table(0, reciprocals_for_quality(99));
        const picture p = picture::of(pixel_layout::yuv422, 256, 64);
        std::mt19937 random(1);
        uint8_t* source = side.board.physical(side.source, p.geometry().bytes());
        for (size_t i = 0; i < p.geometry().bytes(); ++i)
            source[i] = uint8_t(random());
        const uint32_t chunk_end = 4 * encoder_core::slice_room(p.coded_width, p.height);
        uint8_t* after = side.hw->cpu_address(side.chunk + chunk_end);
        memset(after, 0xEE, 4096);
        side.program_cores(p, 0);
        side.start();
        ASSERT_TRUE(side.wait());
        if (cores == 4) {
            for (unsigned s = 0; s < 4; ++s)
                EXPECT_GT(side.reported(s), side.core_bytes(p));
        } else {
            // The slices fit until one runs past the share; those after it are not coded.
            unsigned s = 0;
            uint32_t used = 0;
            for (; s < 4 && side.reported(s) <= side.core_bytes(p) - used; ++s)
                used += side.reported(s);
            ASSERT_LT(s, 4u);
            EXPECT_GT(side.reported(s), side.core_bytes(p));
            for (++s; s < 4; ++s)
                EXPECT_EQ(side.reported(s), 0u);
        }
        EXPECT_TRUE(std::all_of(after, after + 4096, [](uint8_t b) { return b == 0xEE; })) << cores << " cores";
    }
}

TEST(encoder_cores, on_the_cyclone_platform_the_output_address_is_a_bus_address)
{
    board_config c = config_of(2);
    c.platform = 0x01010203;
    program side(c);
    ASSERT_NE(side.hw->bus_address(0), side.board.fpga().config().reserved_address);
    side.reset_cores();
    side.load_table(0, reciprocals_for_quality(90));
    expect_coded_exactly(side, picture::of(pixel_layout::yuv422, 640, 360), 4, 90);
    EXPECT_EQ(errors_of(side), std::vector<std::string>{});
}

TEST(encoder_cores, a_real_time_core_takes_the_hardware_time)
{
    program side(config_of(4, "realtime"));
    side.reset_cores();
    side.load_table(0, reciprocals_for_quality(60));
    const picture p = picture::of(pixel_layout::yuv422, 1920, 1080);
    side.render(p, 1);
    side.program_cores(p, 0);
    const auto started = side.board.fpga().clock().now();
    side.start();
    ASSERT_TRUE(side.wait());
    // 17 rows of 1920 x 16 pixels at 200 Mpixel/s.
    EXPECT_GE(side.board.fpga().clock().now() - started, std::chrono::microseconds(2611));
}
