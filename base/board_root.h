// Where the platform's files are found. On the board they are at the real
// root; on a development machine the virtual board makes a folder that
// stands for it (its device tree, its /dev/mem, its board.conf) and names
// it in the environment of the program it runs. Read here and nowhere else,
// by the program and by the virtual board alike.
#pragma once

#include <cstdlib>
#include <string>

inline constexpr const char* board_root_variable = "NDI_ENCODER_ROOT";

// The board root without a trailing '/'; empty: the real root.
inline std::string board_root()
{
    const char* named = std::getenv(board_root_variable);
    std::string root = named ? named : "";
    while (!root.empty() && root.back() == '/')
        root.pop_back();
    return root;
}
