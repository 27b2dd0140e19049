// bench-encoder-cores [PICTURES]
//
// CPU time per picture of the virtual encoder cores, for the pictures the
// program codes: 1080p 4:2:2 and 4:2:0, a 1080i field, the 640 x 360
// preview. Measured three ways: the slice coder alone on one thread; the
// models on a virtual board ("fast" clock) with 1, 2 and 4 cores, driven
// through the bus with the program's register sequence (process CPU time,
// so the cores' worker threads count, and the wall time per picture); and
// FFmpeg's own software speedhq encoder on the same pictures, for
// comparison. Prints, asserts nothing. Run it on a quiet machine (see
// uptime) and more than once.
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/ffmpeg_speedhq.h"
#include "bench/report.h"
#include "hw/registers.h"
#include "sim/cores/encoder_core.h"
#include "sim/cores/speedhq_coder.h"
#include "sim/cores/video_pattern.h"
#include "sim/fpga/fpga.h"
#include "sim/speedhq/speedhq_decode.h"

using namespace vfpga;

namespace {

constexpr int quality = 90;   // where the rate control settles with the moving pattern at the default target

struct picture_kind {
    const char* name;
    pixel_layout layout;
    uint32_t width, height;
};

const picture_kind kinds[] = {
    {"1080p 4:2:2", pixel_layout::yuv422, 1920, 1080},
    {"1080p 4:2:0", pixel_layout::yuv420, 1920, 1080},
    {"1080i field 4:2:2", pixel_layout::yuv422, 1920, 540},
    {"preview 640x360 4:2:2", pixel_layout::yuv422, 640, 360},
};

double cpu_ms(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double wall_ms()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

picture_geometry geometry_of(const picture_kind& kind)
{
    picture_geometry g;
    g.layout = kind.layout;
    g.width = kind.width;
    g.height = kind.height;
    g.stride = line_pitch(kind.layout, kind.width);
    return g;
}

std::vector<uint8_t> rendered(const picture_kind& kind, uint32_t number)
{
    const picture_geometry g = geometry_of(kind);
    std::vector<uint8_t> picture(g.bytes());
    render_picture(picture.data(), g, number, 2);
    return picture;
}

// The coder alone, one thread: CPU ms per picture.
double coder_alone(const picture_kind& kind, int pictures)
{
    const std::vector<uint8_t> picture = rendered(kind, 1000);
    const picture_geometry g = geometry_of(kind);
    const coder_picture source{picture.data(), g.stride, kind.width, kind.height, kind.layout};
    const std::array<uint16_t, 64> table = reciprocals_for_quality(quality);
    std::vector<uint8_t> out(encoder_core::slice_room(kind.width, kind.height));
    speedhq_coder coder;
    const double start = cpu_ms(CLOCK_THREAD_CPUTIME_ID);
    for (int i = 0; i < pictures; ++i)
        for (unsigned s = 0; s < 4; ++s)
            coder.code_slice(source, s, table.data(), out.data(), out.size());
    return (cpu_ms(CLOCK_THREAD_CPUTIME_ID) - start) / pictures;
}

// The models on a board, as the program drives them.
class board_run {
public:
    explicit board_run(int cores) : count(unsigned(cores))
    {
        board_config config;
        config.encoders = cores;
        config.clock = "fast";
        config.reserved_address = 0x20000000;
        config.reserved_size = 32u << 20;
        config.video_address = 0x10000000;
        config.video_size = 64u << 20;
        board = std::make_unique<fpga>(config, "");
        for (unsigned i = 0; i < count; ++i)
            write8(i, regs::control, regs::lane_events, regs::events_clear);
        for (unsigned i = 0; i < count; ++i)
            board->write32(offset(i, regs::control), 0);
        board->enable_irq(regs::irq_encoders);
        for (unsigned i = 0; i < count; ++i)
            write8(i, regs::control, regs::lane_enable, regs::events_enable);
        const std::array<uint16_t, 64> table = reciprocals_for_quality(quality);
        for (unsigned e = 0; e < 64; ++e)
            for (unsigned i = 0; i < count; ++i)
                board->write32(offset(i, regs::encoder_quant_port), regs::quant_word(0, e, table[e]));
    }

    // CPU (process) and wall ms per picture.
    std::pair<double, double> measure(const picture_kind& kind, int pictures)
    {
        const std::vector<uint8_t> picture = rendered(kind, 1000);
        memcpy(board->dma(source, picture.size()), picture.data(), picture.size());
        const uint32_t core_bytes = (4 / count) * encoder_core::slice_room(kind.width, kind.height);
        const double cpu = cpu_ms(CLOCK_PROCESS_CPUTIME_ID), wall = wall_ms();
        for (int n = 0; n < pictures; ++n) {
            const unsigned per_core = 4 / count;
            for (unsigned i = 0; i < count; ++i) {
                board->write32(offset(i, regs::encoder_control_word),
                               regs::encoder_control(0, per_core * i, per_core * (i + 1) - 1,
                                                     kind.layout == pixel_layout::yuv420, false));
                board->write32(offset(i, regs::encoder_source), source);
                board->write32(offset(i, regs::encoder_output), output + i * core_bytes);
                board->write32(offset(i, regs::encoder_width), kind.width);
                board->write32(offset(i, regs::encoder_height), kind.height);
                board->write32(offset(i, regs::encoder_stride), geometry_of(kind).stride);
            }
            for (unsigned i = 0; i < count; ++i)
                write8(i, regs::control, regs::lane_command, regs::command_arm);
            board->wait_irq(regs::irq_encoders, seen, nullptr);
            for (unsigned i = 0; i < count; ++i)
                write8(i, regs::control, regs::lane_events, regs::events_clear);
            board->enable_irq(regs::irq_encoders);
        }
        return {(cpu_ms(CLOCK_PROCESS_CPUTIME_ID) - cpu) / pictures, (wall_ms() - wall) / pictures};
    }

private:
    static uint32_t offset(unsigned core, unsigned reg) { return (regs::encoder_block(core) + reg) * 4; }
    void write8(unsigned core, unsigned reg, unsigned lane, uint8_t value)
    {
        board->write8(offset(core, reg) + lane, value);
    }

    const unsigned count;
    std::unique_ptr<fpga> board;
    uint32_t seen = 0;
    const uint32_t source = 0x10000000, output = 0x20000000;
};

}   // namespace

int main(int argc, char** argv)
{
    const int pictures = argc > 1 ? std::max(1, atoi(argv[1])) : 60;
    printf("CPU ms per picture at Q %d, %d pictures each\n%s\n\n", quality, pictures,
           bench::machine_description().c_str());
    printf("%-24s %8s %16s %16s %16s %8s\n", "picture", "coder", "1 core", "2 cores", "4 cores", "FFmpeg");
    printf("%-24s %8s %16s %16s %16s %8s\n", "", "CPU", "CPU / wall", "CPU / wall", "CPU / wall", "CPU");
    std::unique_ptr<board_run> runs[3] = {std::make_unique<board_run>(1), std::make_unique<board_run>(2),
                                          std::make_unique<board_run>(4)};
    for (const picture_kind& kind : kinds) {
        printf("%-24s %8.2f", kind.name, coder_alone(kind, pictures));
        for (auto& run : runs) {
            const auto [cpu, wall] = run->measure(kind, pictures);
            printf("  %6.2f / %6.2f", cpu, wall);
        }
        const std::vector<uint8_t> picture = rendered(kind, 1000);
        const std::vector<yuv_planes> planes = {
            planes_of_source(picture.data(), kind.layout, geometry_of(kind).stride, kind.width, kind.height)};
        printf(" %8.2f\n", bench::ffmpeg_speedhq_ms(planes, kind.layout == pixel_layout::yuv420, quality, pictures));
        fflush(stdout);
    }
    return 0;
}
