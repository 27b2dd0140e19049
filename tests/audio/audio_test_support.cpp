#include "tests/audio/audio_test_support.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <ostream>
#include <thread>

#include "base/debug_log.h"
#include "ndi/network_send.h"

bool thread_running(const std::string& name)
{
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        if (std::getline(comm, line) && line == name)
            return true;
    }
    return false;
}

namespace {

int32_t ideal(double hz, int64_t index)
{
    constexpr double amplitude = 0.1 * 2147483647.0;
    return int32_t(std::lround(amplitude * std::sin(2 * std::numbers::pi * hz * double(index % 48000) / 48000)));
}

bool matches(const int32_t* interleaved, uint32_t count, int64_t start)
{
    for (uint32_t i = 0; i < count; ++i)
        if (std::abs(int64_t(interleaved[2 * i]) - ideal(1000, start + i)) > 2 ||
            std::abs(int64_t(interleaved[2 * i + 1]) - ideal(440, start + i)) > 2)
            return false;
    return true;
}

}   // namespace

std::optional<int64_t> tone_position(const int32_t* interleaved, uint32_t samples)
{
    for (int64_t start = 0; start < tone_cycle; ++start)
        if (matches(interleaved, std::min<uint32_t>(samples, 4), start) && matches(interleaved, samples, start))
            return start;
    return std::nullopt;
}

void PrintTo(const bus_write& w, std::ostream* out)
{
    *out << "reg " << w.reg << (w.width == 1 ? " lane " + std::to_string(w.lane) : std::string(" word")) << " = 0x"
         << std::hex << w.value << std::dec;
}
