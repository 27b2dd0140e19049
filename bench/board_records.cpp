#include "bench/board_records.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

#include "sim/call_cost/call_cost.h"

namespace bench {

int64_t wall_clock_ns()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t parse_wall_time(const std::string& text)
{
    long long seconds = 0;
    char fraction[16] = {};
    if (std::sscanf(text.c_str(), "%lld.%9[0-9]", &seconds, fraction) != 2)
        return -1;
    std::string digits = fraction;
    digits.resize(9, '0');
    return seconds * 1000000000 + std::stoll(digits);
}

std::vector<core_event> read_core_log(const std::string& path)
{
    std::vector<core_event> events;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string time;
        core_event e;
        if (fields >> time >> e.source >> e.what && (e.ns = parse_wall_time(time)) >= 0)
            events.push_back(e);
    }
    return events;
}

std::vector<int64_t> times_of(const std::vector<core_event>& events, const std::string& source, const std::string& what)
{
    std::vector<int64_t> times;
    for (const core_event& e : events)
        if (e.source == source && e.what == what)
            times.push_back(e.ns);
    std::sort(times.begin(), times.end());
    return times;
}

std::vector<send_call> read_send_log(const std::string& path)
{
    std::vector<send_call> calls;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string time;
        send_call c;
        if (!(fields >> time >> c.stream >> c.timecode >> c.bytes) || (c.ns = parse_wall_time(time)) < 0)
            continue;
        fields >> c.format;
        calls.push_back(c);
    }
    return calls;
}

std::vector<measured_call> read_call_cost(const std::string& path)
{
    std::vector<measured_call> calls;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string time;
        measured_call c;
        if (!(fields >> time >> c.tid >> c.library >> c.cpu_ns >> c.clock_ns) || (c.ns = parse_wall_time(time)) < 0)
            continue;
        calls.push_back(c);
    }
    return calls;
}

int64_t call_cost_ns(const std::vector<measured_call>& calls, int tid, const std::string& library, int64_t start,
                     int64_t end)
{
    int64_t sampled = 0, reads = 0;
    for (const measured_call& c : calls) {
        if ((tid && c.tid != tid) || c.ns < start || c.ns >= end || (!library.empty() && c.library != library))
            continue;
        sampled += c.cpu_ns;
        reads += c.clock_ns;
    }
    // Besides the calls, measuring one cost the thread three clock reads.
    return sampled * int64_t(sim::call_cost::one_in) + 3 * reads;
}

std::vector<serial_message> read_camera_timing(const std::string& path)
{
    std::vector<serial_message> messages;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string time, direction;
        serial_message m;
        if (!(fields >> time >> direction) || (m.ns = parse_wall_time(time)) < 0 ||
            (direction != "in" && direction != "out"))
            continue;
        m.from_program = direction == "in";
        std::string rest;
        std::getline(fields, rest);
        m.bytes = parse_hex(rest);
        messages.push_back(m);
    }
    return messages;
}

std::vector<uint8_t> parse_hex(const std::string& text)
{
    std::vector<uint8_t> bytes;
    std::istringstream words(text);
    for (std::string word; words >> word;)
        bytes.push_back(uint8_t(std::stoul(word, nullptr, 16)));
    return bytes;
}

std::string hex_text(const std::vector<uint8_t>& bytes)
{
    std::string text;
    char digits[4];
    for (uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, text.empty() ? "%02X" : " %02X", b);
        text += digits;
    }
    return text;
}

}   // namespace bench
