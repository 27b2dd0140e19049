#include "tests/support/debug_capture.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "base/debug_log.h"

debug_capture::debug_capture(int level) : saved_stream(debug_stream), saved_level(debug_level), saved_flush(debug_flush)
{
    cookie_io_functions_t io{};
    io.write = on_write;
    file = fopencookie(this, "w", io);
    if (!file)
        throw std::runtime_error("cannot make a debug log capture");
    // Unbuffered: every message and every mark is one write of its own,
    // even when two threads write at once.
    setvbuf(file, nullptr, _IONBF, 0);
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
}

ssize_t debug_capture::on_write(void* cookie, const char* data, size_t size)
{
    auto* self = static_cast<debug_capture*>(cookie);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->writes.emplace_back(data, size);
    return ssize_t(size);
}

void debug_capture::clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    writes.clear();
}

std::string debug_capture::text() const
{
    std::lock_guard<std::mutex> lock(mutex);
    std::string all;
    for (const std::string& piece : writes)
        all += piece;
    return all;
}

std::string debug_capture::text_without(const std::vector<std::string>& left_out) const
{
    std::lock_guard<std::mutex> lock(mutex);
    std::string kept;
    for (const std::string& piece : writes)
        if (std::find(left_out.begin(), left_out.end(), piece) == left_out.end())
            kept += piece;
    return kept;
}

std::string debug_capture::marks(const std::string& alphabet) const
{
    // A mark is a write of one character; messages are longer.
    std::lock_guard<std::mutex> lock(mutex);
    std::string kept;
    for (const std::string& piece : writes)
        if (piece.size() == 1 && alphabet.find(piece[0]) != std::string::npos)
            kept += piece[0];
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
