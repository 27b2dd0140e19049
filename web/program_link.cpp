#include "web/program_link.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

void make_fifo(const std::string& path)
{
    struct stat info {};
    if (stat(path.c_str(), &info) == 0) {
        if (!S_ISFIFO(info.st_mode))
            throw std::runtime_error(path + " is there but is no named pipe");
        return;   // the program may hold it already: never make a new one under it
    }
    const auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0)
        mkdir(path.substr(0, slash).c_str(), 0750);   // one level, as /run/ndi-encoder
    if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot make " + path + ": " + strerror(errno));
}

}   // namespace

program_link::program_link(std::string command, std::string reply)
    : command_path(std::move(command)), reply_path(std::move(reply))
{
    make_fifo(command_path);
    make_fifo(reply_path);
    // A read end opens at once without a writer; with it there, the
    // program's open of its write end succeeds too.
    reply_read.reset(open(reply_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!reply_read)
        throw std::runtime_error("cannot open " + reply_path + ": " + strerror(errno));
    reply_keeper.reset(open(reply_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
}

bool program_link::ask_status(double now)
{
    if (command_write && asked_since >= 0 && now - asked_since > answer_within) {
        // Open but unanswered: a program that has gone (or hangs); let a
        // new one be found with a fresh open.
        command_write.reset();
    }
    if (!command_write) {
        // Fails with ENXIO while no program has the read end open.
        command_write.reset(open(command_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        if (!command_write)
            return false;
        asked_since = -1;
    }
    // One write is one command for the program: never two in one write.
    static constexpr char status[] = "status\n";
    const ssize_t written = write(command_write.get(), status, sizeof status - 1);
    if (written < 0 && errno == EPIPE) {
        command_write.reset();   // the program has gone
        return false;
    }
    if (written == ssize_t(sizeof status - 1) && asked_since < 0)
        asked_since = now;
    return written == ssize_t(sizeof status - 1);
}

std::vector<std::string> program_link::read_replies(double now)
{
    std::vector<std::string> lines;
    char chunk[4096];
    for (;;) {
        const ssize_t got = read(reply_read.get(), chunk, sizeof chunk);
        if (got <= 0)
            break;
        partial.append(chunk, size_t(got));
    }
    size_t start = 0;
    for (size_t newline; (newline = partial.find('\n', start)) != std::string::npos; start = newline + 1)
        lines.emplace_back(partial, start, newline - start);
    partial.erase(0, start);
    if (partial.size() > longest_line)
        partial.clear();   // no line is that long: lose it rather than grow
    if (!lines.empty()) {
        last_answer = now;
        asked_since = -1;
    }
    return lines;
}

bool program_link::answering(double now) const
{
    return command_write && now - last_answer <= answer_within;
}
