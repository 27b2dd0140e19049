#include "tests/support/debug_capture.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "base/debug_log.h"

debug_capture::debug_capture(int level)
    : saved_stream(debug_stream), saved_level(debug_level), saved_flush(debug_flush)
{
    char pattern[] = "/tmp/ndi-encoder-debug-XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd < 0)
        throw std::runtime_error("cannot make a debug log file");
    path = pattern;
    file = fdopen(fd, "w");
    debug_stream = file;
    debug_level = level;
    debug_flush = true;
}

debug_capture::~debug_capture()
{
    debug_stream = saved_stream;
    debug_level = saved_level;
    debug_flush = saved_flush;
    fclose(file);
    unlink(path.c_str());
}

std::string debug_capture::text() const
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string debug_capture::marks(const std::string& alphabet) const
{
    // Every message has a blank in it and ends its line; marks never do.
    std::string kept;
    std::istringstream lines(text());
    for (std::string line; std::getline(lines, line);)
        if (line.find(' ') == std::string::npos)
            for (char c : line)
                if (alphabet.find(c) != std::string::npos)
                    kept += c;
    return kept;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
