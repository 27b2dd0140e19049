#include "bench/memory_use.h"

#include <fstream>
#include <sstream>

namespace bench {

namespace {

// "7f12a000-7f12b000 rw-p 00000000 00:00 0   [heap]": the path, or empty.
bool mapping_header(const std::string& line, std::string& path)
{
    std::istringstream fields(line);
    std::string range, perms, offset, device, inode;
    if (!(fields >> range >> perms >> offset >> device >> inode) || range.find('-') == std::string::npos ||
        range.back() == ':')
        return false;
    path.clear();   // getline leaves it as it was when nothing follows
    std::getline(fields >> std::ws, path);
    return true;
}

}   // namespace

memory_use parse_smaps(const std::string& smaps, const std::string& board_root)
{
    memory_use use;
    std::istringstream lines(smaps);
    std::string line, path;
    for (std::string next_path; std::getline(lines, line);) {
        if (mapping_header(line, next_path)) {
            path = next_path;
            continue;
        }
        long long kib = 0;
        if (line.rfind("Rss:", 0) != 0 || !(std::istringstream(line.substr(4)) >> kib))
            continue;
        use.rss_kib += kib;
        const bool deleted = path.size() > 10 && path.compare(path.size() - 10, 10, " (deleted)") == 0;
        if (!board_root.empty() && path.rfind(board_root + "/", 0) == 0)
            use.dma_kib += kib;
        else if (path == "[heap]")
            use.heap_kib += kib;
        else if (path.empty() || path[0] == '[' || deleted)
            use.anonymous_kib += kib;
        else
            use.file_kib += kib;
    }
    return use;
}

memory_use read_memory_use(pid_t pid, const std::string& board_root)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
    std::stringstream text;
    text << in.rdbuf();
    return parse_smaps(text.str(), board_root);
}

}   // namespace bench
