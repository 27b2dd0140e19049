#include "bench/monitor_summary.h"

#include <cctype>
#include <regex>
#include <sstream>

namespace bench {

const monitor_stream* monitor_summary::stream(bool preview) const
{
    for (const monitor_stream& s : video)
        if (!s.code.empty() && bool(std::islower(static_cast<unsigned char>(s.code[0]))) == preview)
            return &s;
    return nullptr;
}

std::optional<monitor_summary> parse_monitor_summary(const std::string& output)
{
    const size_t start = output.rfind("received in ");
    if (start == std::string::npos)
        return std::nullopt;
    static const std::regex video_line(
        R"(^  video (\S+) (\d+x\d+(?: fields)?): (\d+) pictures, [0-9.]+ MB, ([0-9.]+) pic/s, ([0-9.]+) Mbit/s)"
        R"((?:, Q (\d+)(?: \((\d+)-(\d+)\))?)?(?:, latency median (-?[0-9.]+) ms p99 (-?[0-9.]+) ms)?)");
    static const std::regex audio_line(R"(^  audio \d+ Hz \d+ ch: (\d+) blocks)");
    static const std::regex dropped_line(R"(^  dropped (\d+), late (\d+))");

    monitor_summary summary;
    std::istringstream lines(output.substr(start));
    std::string line;
    std::getline(lines, line);   // "received in ..."
    while (std::getline(lines, line) && line.rfind("  ", 0) == 0) {
        std::smatch m;
        if (std::regex_search(line, m, video_line)) {
            monitor_stream s;
            s.code = m[1];
            s.size = m[2];
            s.pictures = std::stoull(m[3]);
            s.pictures_per_second = std::stod(m[4]);
            s.mbit_per_second = std::stod(m[5]);
            if (m[6].matched) {
                s.q_last = std::stoi(m[6]);
                s.q_low = m[7].matched ? std::stoi(m[7]) : s.q_last;
                s.q_high = m[8].matched ? std::stoi(m[8]) : s.q_last;
            }
            if (m[9].matched) {
                s.latency_median_ms = std::stod(m[9]);
                s.latency_p99_ms = std::stod(m[10]);
            }
            summary.video.push_back(s);
        } else if (std::regex_search(line, m, audio_line)) {
            summary.audio_blocks = std::stoull(m[1]);
        } else if (std::regex_search(line, m, dropped_line)) {
            summary.dropped = std::stoull(m[1]);
            summary.late = std::stoull(m[2]);
        }
    }
    return summary;
}

}  // namespace bench
