#include "tests/support/open_descriptors.h"

#include <fcntl.h>

#include <filesystem>
#include <system_error>

std::set<int> open_descriptors()
{
    std::set<int> listed;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error))
        listed.insert(std::stoi(entry.path().filename().string()));
    // The listing's own descriptor is among them, closed by now: its
    // number is the next one the program will be given.
    std::set<int> open;
    for (int fd : listed)
        if (fcntl(fd, F_GETFD) >= 0)
            open.insert(fd);
    return open;
}

bool closes_on_exec(int fd)
{
    const int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC) != 0;
}

std::vector<std::string> inheritable_since(const std::set<int>& before)
{
    std::vector<std::string> inheritable;
    for (int fd : open_descriptors()) {
        if (before.count(fd) || closes_on_exec(fd))
            continue;
        std::error_code error;
        const auto target = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
        inheritable.push_back(std::to_string(fd) + " -> " + target.string());
    }
    return inheritable;
}
