// A virtual board for one test: a board root in a fresh temporary directory
// (the board root, base/board_root.h, while the board lives) and the virtual FPGA
// installed for this process.
//
// A guest error (a register written in a way the real core would not take)
// is a product bug: the board fails the test that caused it, unless the
// test took the error with take_guest_errors because it provoked it.
#pragma once

#include <memory>
#include <string>

#include "sim/fpga/board_config.h"
#include "sim/fpga/fpga.h"

class test_board {
public:
    // Small defaults keep tests quick: 4 MiB reserved, a "fast" clock.
    static vfpga::board_config small_config();

    explicit test_board(vfpga::board_config config = small_config());
    ~test_board();
    test_board(const test_board&) = delete;
    test_board& operator=(const test_board&) = delete;

    vfpga::fpga& fpga() { return *board; }
    const std::string& root() const { return dir; }
    // Physical memory of the board.
    uint8_t* physical(uint64_t address, size_t length) { return board->dma(address, length); }

    // The register writes made so far to one register of a block.
    std::vector<vfpga::reg_write> writes_to(uint32_t block, unsigned reg);

    // The guest errors logged since the last call, which the test answers for.
    std::vector<std::string> take_guest_errors();

    // How many owners keep the board alive besides this object and the
    // process's installation: every open userspace-I/O handle is one.
    long other_holders() const { return board.use_count() - 2; }

private:
    std::string dir;
    std::shared_ptr<vfpga::fpga> board;
    size_t errors_taken = 0;
};
