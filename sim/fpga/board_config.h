// How a virtual board is put together: which cores exist, what the
// identification register says, where the reserved memory lies, what signal
// comes in. virtual-board writes it as key=value lines into the board root
// (board.conf); the userspace-I/O stand-in reads it from there.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace vfpga {

struct board_config {
    bool input_cores = true;          // ndi_enc and its group
    bool output_cores = false;        // ndi_dec and its group
    int encoders = 4;                 // 1, 2 or 4 encoder cores
    uint32_t platform = 0x80010500;   // identification word
    uint32_t date = 0x20261207;       // date word
    std::set<std::string> without;    // single devices left out, e.g. vid_track

    uint32_t regs_address = 0x43C00000;   // physical address of the ndi_regs window
    uint32_t regs_size = 0x10000;         // 64 KiB

    uint32_t reserved_address = 0x38000000;
    uint32_t reserved_size = 128u << 20;
    bool two_cells = false;   // device-tree cells: 2 (32-bit) or 4 (64-bit)
    bool video_node = true;   // Quorin_Video present
    uint32_t video_address = 0x10000000;
    uint32_t video_size = 0x10000000;

    // "realtime" paces the cores like the hardware; "fast" completes work as
    // soon as it is armed; "stepped" waits for the test to advance the clock.
    std::string clock = "realtime";

    // Keep the last million register writes in memory for fpga::writes()
    // (tests); a running appliance has no reader for them.
    bool keep_writes = false;

    // Settings of individual core models (for example "signal"), kept as text.
    std::map<std::string, std::string> settings;

    std::string setting(const std::string& key, const std::string& fallback = "") const;

    // Highest physical address the memory file must hold.
    uint64_t memory_size() const;

    static board_config load(const std::string& path);    // throws on a bad file
    static board_config parse(const std::string& text);   // key=value lines
    void save(const std::string& path) const;
};

// Makes a board root in dir: board.conf, the device-tree reg files and the
// sparse file that stands in for /dev/mem. Throws on failure.
void make_board_root(const board_config& config, const std::string& dir);

}   // namespace vfpga
