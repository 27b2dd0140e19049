#include "sim/ndi/send_log.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "ndi/ndi_lib.h"
#include "sim/ndi/wire.h"

namespace ndi_sim {

namespace {

const char* frame_format_name(int32_t type)
{
    switch (type) {
    case NDIlib_frame_format_type_progressive: return "progressive";
    case NDIlib_frame_format_type_field_0: return "field0";
    case NDIlib_frame_format_type_field_1: return "field1";
    case NDIlib_frame_format_type_interleaved: return "interleaved";
    default: return "unknown";
    }
}

}   // namespace

std::unique_ptr<send_log> send_log::open(const std::string& path, std::string& error)
{
    owned_file file(std::fopen(path.c_str(), "we"));   // e: close-on-exec, like the program's own
    if (!file) {
        error = "cannot write the send log " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    auto log = std::unique_ptr<send_log>(new send_log(std::move(file)));
    log->calls.reserve(1 << 16);   // minutes of video and audio without a reallocation
    return log;
}

send_log::~send_log()
{
    for (const call& c : calls) {
        std::fprintf(file.get(), "%lld.%09lld %s %lld %lld", (long long)(c.called_ns / 1000000000),
                     (long long)(c.called_ns % 1000000000),
                     c.stream == audio ? "audio" : ndi_wire::fourcc_text(c.stream).c_str(), (long long)c.timecode,
                     (long long)c.bytes);
        if (c.stream != audio)
            std::fprintf(file.get(), " %s", frame_format_name(c.frame_format));
        std::fputc('\n', file.get());
    }
}

int64_t send_log::now_ns()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void send_log::record(int64_t called_ns, uint32_t stream, int64_t timecode, int64_t bytes, int32_t frame_format)
{
    std::lock_guard lock(mutex);
    calls.push_back({called_ns, stream, frame_format, timecode, bytes});
}

}   // namespace ndi_sim
