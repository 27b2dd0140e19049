// virtual-board-root DIR [key=value]...
// Makes a board root (board.conf, device-tree reg files, memory file) with
// the defaults of a board, changed by the key=value settings given.
#include <cstdio>
#include <exception>
#include <string>

#include "sim/fpga/board_config.h"
#include "sim/fpga/fpga.h"

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s DIR [key=value]...\n", argv[0]);
        return 2;
    }
    try {
        std::string settings;
        for (int i = 2; i < argc; ++i)
            settings += std::string(argv[i]) + "\n";
        const vfpga::board_config config = vfpga::board_config::parse(settings);
        vfpga::check_model_settings(config);
        vfpga::make_board_root(config, argv[1]);
    } catch (const std::exception& e) {
        fprintf(stderr, "virtual-board-root: %s\n", e.what());
        return 1;
    }
    return 0;
}
