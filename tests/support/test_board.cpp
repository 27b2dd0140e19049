#include "tests/support/test_board.h"

#include <cstdlib>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "base/board_root.h"
#include "hw/soc.h"

vfpga::board_config test_board::small_config()
{
    vfpga::board_config config;
    config.reserved_address = 0x20000000;
    config.reserved_size = 4u << 20;
    config.video_address = 0x10000000;
    config.video_size = 64u << 20;
    config.clock = "fast";
    config.keep_writes = true;
    return config;
}

test_board::test_board(vfpga::board_config config)
{
    char pattern[] = "/tmp/ndi-encoder-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (!made)
        throw std::runtime_error("cannot make a board root");
    dir = made;
    vfpga::make_board_root(config, dir);
    setenv(board_root_variable, dir.c_str(), 1);
    board = std::make_shared<vfpga::fpga>(config, dir + soc::memory_device);
    vfpga::fpga::install(board);
}

test_board::~test_board()
{
    for (const std::string& error : take_guest_errors())
        ADD_FAILURE() << "guest error: " << error;
    vfpga::fpga::uninstall();
    board.reset();
    unsetenv(board_root_variable);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

std::vector<std::string> test_board::take_guest_errors()
{
    std::vector<std::string> errors = board->guest_errors();
    errors.erase(errors.begin(), errors.begin() + long(std::min(errors_taken, errors.size())));
    errors_taken += errors.size();
    return errors;
}

std::vector<vfpga::reg_write> test_board::writes_to(uint32_t block, unsigned reg)
{
    std::vector<vfpga::reg_write> found;
    for (const auto& w : board->writes())
        if (w.index() == block + reg)
            found.push_back(w);
    return found;
}
