#include "hw/hardware.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "base/debug_log.h"
#include "hw/registers.h"
#include "hw/soc.h"
#include "sim/uio/uio_faults.h"
#include "tests/support/debug_capture.h"
#include "tests/support/open_descriptors.h"
#include "tests/support/test_board.h"

namespace {

std::string write_cells(const std::string& path, const std::vector<uint32_t>& cells)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    for (uint32_t cell : cells) {
        const uint32_t big = htonl(cell);
        file.write(reinterpret_cast<const char*>(&big), 4);
    }
    return path;
}

std::string construction_error(const vfpga::board_config& config)
{
    test_board board(config);
    try {
        hardware hw;
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

// What the process holds of a board: open descriptors, mappings of its
// memory file, userspace-I/O handles.
struct held_resources {
    size_t descriptors;
    size_t mappings;
    long handles;
    bool operator==(const held_resources&) const = default;
};

held_resources held(test_board& board)
{
    held_resources r{0, 0, board.other_holders()};
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++r.descriptors;
    std::ifstream maps("/proc/self/maps");
    const std::string memory_file = board.root() + soc::memory_device;
    for (std::string line; std::getline(maps, line);)
        if (line.find(memory_file) != std::string::npos)
            ++r.mappings;
    return r;
}

void PrintTo(const held_resources& r, std::ostream* out)
{
    *out << r.descriptors << " descriptors, " << r.mappings << " mappings, " << r.handles << " handles";
}

}   // namespace

TEST(read_reg_cells, reads_two_and_four_big_endian_cells_and_rejects_others)
{
    const std::string path = testing::TempDir() + "reg_cells";
    memory_region region;

    write_cells(path, {0x12345678, 0x00100000});
    EXPECT_EQ(hardware::read_reg_cells(path, region, 2), 2);
    EXPECT_EQ(region.address, 0x12345678u);
    EXPECT_EQ(region.size, 0x00100000u);

    write_cells(path, {0xAAAAAAAA, 0x38000000, 0xBBBBBBBB, 0x08000000});
    EXPECT_EQ(hardware::read_reg_cells(path, region, 2), 4);
    EXPECT_EQ(region.address, 0x38000000u);   // low halves only
    EXPECT_EQ(region.size, 0x08000000u);

    region = {1, 2};
    write_cells(path, {1, 2, 3});
    EXPECT_EQ(hardware::read_reg_cells(path, region, 2), -1);
    EXPECT_EQ(region.address, 1u);   // untouched

    EXPECT_EQ(hardware::read_reg_cells(path + ".missing", region, 2), -1);
    std::remove(path.c_str());
}

// A missing property is reported through the debug log from the minimum
// level given on, and the stream is flushed under -f like every message.
TEST(read_reg_cells, reports_a_missing_file_from_the_minimum_level_on)
{
    const std::string missing = testing::TempDir() + "no_such_reg";
    memory_region region;
    for (int level : {1, 2, 4}) {
        for (int min_level : {2, 4}) {
            debug_capture log(level);
            EXPECT_EQ(hardware::read_reg_cells(missing, region, min_level), -1);
            const std::string expected = level >= min_level ? "Could not open " + missing + " for reading!\n" : "";
            EXPECT_EQ(log.text(), expected) << "level " << level << ", minimum " << min_level;
        }
    }
}

TEST(identify, names_known_platforms_and_zeroes_unknown_versions)
{
    platform_info zybo = hardware::identify(0x11010203, 0x20240101);
    EXPECT_EQ(zybo.name, "Digilent Zybo-Z7-10");
    EXPECT_EQ(zybo.major, 1);
    EXPECT_EQ(zybo.minor, 2);
    EXPECT_EQ(zybo.patch, 3);
    EXPECT_EQ(zybo.date, 0x20240101u);

    platform_info unknown = hardware::identify(0x7F010203, 0);
    EXPECT_EQ(unknown.name, "Unknown platform");
    EXPECT_EQ(unknown.code, 0x7F);
    EXPECT_EQ(unknown.major + unknown.minor + unknown.patch, 0);

    EXPECT_EQ(hardware::identify(0x01000000, 0).name, "Early Altera design");
    EXPECT_EQ(hardware::identify(0x80010500, 0).name, "Mirova NDI Product");
}

TEST(device, splits_the_reserved_memory_and_defaults_the_raw_range)
{
    device plain;
    plain.set_reserved({0x38000000, 0x08000000});
    EXPECT_EQ(plain.get_region(encoder_output_region).address, 0u);
    EXPECT_EQ(plain.get_region(encoder_output_region).size, 0x07FF0000u);
    EXPECT_EQ(plain.get_region(audio_region).address, 0x07FF0000u);
    EXPECT_EQ(plain.get_region(audio_region).size, 0x10000u);
    EXPECT_EQ(plain.get_region(1).size, 0u);

    plain.set_raw({0, 0});
    EXPECT_EQ(plain.get_raw().address, 0u);
    EXPECT_EQ(plain.get_raw().size, 0x20000000u);
    plain.set_raw({0x10000000, 0x1000});
    EXPECT_EQ(plain.get_raw().address, 0x10000000u);
    EXPECT_EQ(plain.get_raw().size, 0x1000u);

    EXPECT_EQ(plain.translate(0x38000100), 0x38000100u);
    EXPECT_EQ(device_cyclone().translate(0x38000100), 0xB8000100u);
}

TEST(hardware, maps_identifies_and_fills_the_reserved_memory)
{
    auto config = test_board::small_config();
    config.platform = 0x11010203;
    test_board board(config);
    hardware hw;

    EXPECT_TRUE(hw.is_ready());
    EXPECT_EQ(hw.get_platform_info().name, "Digilent Zybo-Z7-10");
    const memory_region reserved = hw.get_region(audio_region);
    EXPECT_EQ(reserved.address + reserved.size, config.reserved_size);

    // The whole reserved memory reads 0xDEADDEAD, through the program's map
    // and as the cores see it.
    const auto* words = reinterpret_cast<const uint32_t*>(hw.cpu_address(0));
    for (uint32_t i = 0; i < config.reserved_size / 4; i += 997)
        ASSERT_EQ(words[i], 0xDEADDEADu);
    EXPECT_EQ(words[config.reserved_size / 4 - 1], 0xDEADDEADu);
    const auto* physical = reinterpret_cast<const uint32_t*>(board.physical(config.reserved_address, 4));
    EXPECT_EQ(*physical, 0xDEADDEADu);

    EXPECT_EQ(hw.get_raw().address, config.video_address);
    EXPECT_EQ(hw.get_raw().size, config.video_size);
}

// A board whose reserved memory lies above 2 GiB: its physical address
// passes through off_t on the way to /dev/mem (and the virtual board's
// memory file is as large), which on a 32-bit board is too narrow unless
// file offsets are 64 bits wide.
TEST(hardware, maps_a_reserved_memory_above_2_gib)
{
    auto config = test_board::small_config();
    config.reserved_address = 0xA0000000;
    test_board board(config);
    hardware hw;

    ASSERT_TRUE(hw.is_ready());
    const auto* words = reinterpret_cast<const uint32_t*>(hw.cpu_address(0));
    EXPECT_EQ(words[0], 0xDEADDEADu);
    EXPECT_EQ(words[config.reserved_size / 4 - 1], 0xDEADDEADu);
    // The program's map and the cores' view are the same memory.
    auto* physical = reinterpret_cast<uint32_t*>(board.physical(config.reserved_address + config.reserved_size - 4, 4));
    ASSERT_NE(physical, nullptr);
    *physical = 0x12345678;
    EXPECT_EQ(words[config.reserved_size / 4 - 1], 0x12345678u);
}

TEST(hardware, register_offsets_follow_the_mask_and_byte_lanes)
{
    test_board board;
    hardware hw;
    board.fpga().clear_writes();

    hw.write_reg32(regs::track_block, 0, 0x01020304);
    hw.write_reg8(regs::video_in_block, 0, 3, 0xC0);
    // An index beyond the 64 KiB window wraps instead of faulting.
    hw.write_reg32(0x4000 + 5, 0, 0x55);

    const auto writes = board.fpga().writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].offset, 0x8C0u);
    EXPECT_EQ(writes[0].width, 4);
    EXPECT_EQ(writes[1].offset, 0x803u);
    EXPECT_EQ(writes[1].value, 0xC0u);
    EXPECT_EQ(writes[1].width, 1);
    EXPECT_EQ(writes[2].offset, 5u * 4);
    // The tracking core takes only control bytes: the word is refused.
    EXPECT_EQ(board.take_guest_errors().size(), 1u);

    EXPECT_EQ(hw.read_reg32(5, 0), 0x55u);
    EXPECT_EQ(hw.read_reg8(5, 0, 0), 0x55);
    EXPECT_EQ(hw.read_reg8(5, 0, 1), 0);
}

TEST(hardware, translates_bus_addresses_by_platform)
{
    for (uint32_t platform : {0x01000000u, 0x80010500u}) {
        auto config = test_board::small_config();
        config.platform = platform;
        test_board board(config);
        hardware hw;
        EXPECT_EQ(hw.bus_address(0x100), config.reserved_address + 0x100) << "untranslated until main asks";
        hw.translate_addresses = true;
        const uint32_t expected =
            platform == 0x01000000u ? (config.reserved_address + 0x100) | 0x80000000u : config.reserved_address + 0x100;
        EXPECT_EQ(hw.bus_address(0x100), expected);
        EXPECT_EQ(hw.cpu_address(0x100), hw.cpu_address(0) + 0x100);
    }
}

TEST(hardware, two_cells_and_no_video_node)
{
    auto config = test_board::small_config();
    config.two_cells = true;
    config.video_node = false;
    test_board board(config);
    hardware hw;
    EXPECT_EQ(hw.get_raw().address, 0u);
    EXPECT_EQ(hw.get_raw().size, 0x20000000u);
    EXPECT_EQ(hw.bus_address(0), config.reserved_address);
}

TEST(hardware, missing_devices)
{
    auto config = test_board::small_config();

    config.without = {"vid_track"};
    EXPECT_EQ(construction_error(config), "Cannot find uio device vid_track!");
    config.without = {"pvw_in"};
    EXPECT_EQ(construction_error(config), "Cannot find uio device pvw_in!");
    config.without = {"ndi_regs"};
    EXPECT_EQ(construction_error(config), "Cannot find uio device ndi_regs!");

    config.without = {};
    config.output_cores = true;
    config.without = {"aud_out"};
    EXPECT_EQ(construction_error(config), "Cannot find uio device aud_out!");

    // The output group alone is enough; the input group is not looked into.
    config.input_cores = false;
    config.without = {};
    {
        test_board board(config);
        hardware hw;
        EXPECT_TRUE(hw.is_ready());
        timeval no_wait{0, 0};
        EXPECT_LT(hw.wait_irq(regs::irq_video_in, &no_wait), 0);
    }

    // Neither group: constructed, but not ready.
    config.output_cores = false;
    {
        test_board board(config);
        hardware hw;
        EXPECT_FALSE(hw.is_ready());
    }
}

TEST(hardware, missing_reserved_node_or_memory)
{
    test_board board;
    std::remove((board.root() + "/proc/device-tree/reserved-memory/Quorin_Reserved/reg").c_str());
    EXPECT_THROW(
        {
            try {
                hardware hw;
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "Cannot read Quorin_Reserved reg details from device-tree!");
                throw;
            }
        },
        std::runtime_error);

    write_cells(board.root() + "/proc/device-tree/reserved-memory/Quorin_Reserved/reg", {1, 2, 3});
    EXPECT_THROW(hardware(), std::runtime_error);
}

// The memory device maps every core's buffers: a child the program ran must
// not inherit it.
TEST(hardware, the_memory_device_closes_on_exec)
{
    test_board board;
    const auto before = open_descriptors();
    {
        hardware hw;
        const std::string memory_file = board.root() + soc::memory_device;
        int memory = -1;
        std::error_code gone;
        for (int fd : open_descriptors())
            if (!before.count(fd) &&
                std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), gone) == memory_file)
                memory = fd;
        ASSERT_GE(memory, 0) << "the memory device is held while the hardware lives";
        EXPECT_TRUE(closes_on_exec(memory));
    }
    EXPECT_EQ(open_descriptors(), before);
}

TEST(hardware, interrupt_wait_times_out_without_an_interrupt)
{
    test_board board;
    hardware hw;
    hw.enable_irq(regs::irq_track);
    timeval timeout{0, 200000};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_LT(hw.wait_irq(regs::irq_track, &timeout), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
}

// A driver whose wait fails at once (not a time-out) must not turn the
// real-time threads' loops of waits into spins: the wait still takes its
// time. A signal only cuts a wait short: it goes on for the rest.
TEST(hardware, a_wait_that_fails_at_once_still_takes_its_time)
{
    test_board board;
    hardware hw;
    for (int error : {EIO, EBADF}) {
        SCOPED_TRACE(error);
        sim::fail_irq_waits(1, error);
        timeval timeout{0, 100000};
        const auto start = std::chrono::steady_clock::now();
        EXPECT_LT(hw.wait_irq(regs::irq_track, &timeout), 0);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(95));
        EXPECT_EQ(errno, error);
        EXPECT_EQ(sim::irq_wait_calls(), 1u);
    }
    sim::fail_irq_waits(1, EINTR);
    timeval timeout{0, 100000};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_LT(hw.wait_irq(regs::irq_track, &timeout), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(95));
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(sim::irq_wait_calls(), 2u) << "the wait goes on after the signal";
    sim::fail_irq_waits(0, 0);
}

// On a board without the input cores their interrupts never come: a timed
// wait takes its whole time (a caller's loop of waits must not spin), a wait
// without a timeout fails at once (nothing could end it).
TEST(hardware, a_wait_on_an_absent_core_takes_its_time)
{
    auto config = test_board::small_config();
    config.input_cores = false;
    config.output_cores = true;
    test_board board(config);
    hardware hw;
    for (int core : {int(regs::irq_audio_in), int(regs::irq_video_in), int(regs::irq_track), 9}) {
        SCOPED_TRACE("core " + std::to_string(core));
        timeval timeout{0, 100000};
        errno = 0;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_LT(hw.wait_irq(core, &timeout), 0);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(95));
        EXPECT_EQ(errno, ETIMEDOUT);
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_LT(hw.wait_irq(regs::irq_encoders, nullptr), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

// A construction that fails part way lets go of everything it had opened or
// mapped so far: the devices, /dev/mem, the reserved mapping.
TEST(hardware, a_failed_construction_releases_what_it_had)
{
    const std::string nodes = "/proc/device-tree/reserved-memory/";
    const struct {
        const char* what;
        const char* node;   // whose reg property is replaced by {0, address, 0, 0}
        std::vector<std::string> without;
        const char* error;
    } cases[] = {
        {"a device missing after others opened", nullptr, {"aud_in"}, "Cannot find uio device aud_in!"},
        {"the reserved memory not mapped", "Quorin_Reserved", {}, "Cannot map Quorin_Reserved memory region!"},
        {"the video memory not mapped", "Quorin_Video", {}, "Cannot map Quorin_Video memory region!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto config = test_board::small_config();
        config.output_cores = true;
        config.without = {c.without.begin(), c.without.end()};
        test_board board(config);
        if (c.node)
            write_cells(board.root() + nodes + c.node + "/reg", {0, 0x10000000, 0, 0});   // zero bytes: mmap refuses
        const held_resources before = held(board);
        try {
            hardware hw;
            ADD_FAILURE() << "constructed";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.error);
        }
        EXPECT_EQ(held(board), before);
    }

    // And a whole one holds them until it goes.
    test_board board;
    const held_resources before = held(board);
    {
        hardware hw;
        const held_resources during = held(board);
        EXPECT_EQ(during.descriptors, before.descriptors + 1);
        EXPECT_EQ(during.mappings, before.mappings + 2);
        EXPECT_EQ(during.handles, before.handles + 6);
    }
    EXPECT_EQ(held(board), before);
}
