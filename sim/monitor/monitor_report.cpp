#include "sim/monitor/monitor_report.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

namespace ndi_monitor {

namespace {

std::string format(const char* pattern, auto... values)
{
    char text[256];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

const char* interval_word = "interval";
const char* summary_word = "summary";

// A code as a key: four letters or digits stay as they are.
std::string key_code(const std::string& code)
{
    bool plain = code.size() == 4;
    for (char c : code)
        plain = plain && std::isalnum(static_cast<unsigned char>(c));
    if (plain)
        return code;
    std::string hex = "0x";
    for (auto c = code.rbegin(); c != code.rend(); ++c)
        hex += format("%02X", unsigned(static_cast<unsigned char>(*c)));
    return hex;
}

// "pic/s, Mbit/s, Q, latency" as both the line and the summary give them.
std::string rates_text(const video_report& v)
{
    std::string text = format("%.1f pic/s, %.1f Mbit/s", v.pictures_per_second, v.mbit_per_second);
    if (v.q_last >= 0)
        text +=
            v.q_low == v.q_high ? format(", Q %d", v.q_last) : format(", Q %d (%d-%d)", v.q_last, v.q_low, v.q_high);
    if (v.has_latency)
        text += format(", latency median %.1f ms p99 %.1f ms", v.latency_median_ms, v.latency_p99_ms);
    return text;
}

class key_values_reader {
public:
    explicit key_values_reader(std::map<std::string, std::string> read) : values(std::move(read)) {}

    bool has(const std::string& key) const { return values.count(key) != 0; }
    std::string text(const std::string& key)
    {
        auto it = values.find(key);
        if (it == values.end()) {
            failed = true;
            return {};
        }
        return it->second;
    }
    double number(const std::string& key)
    {
        const std::string value = text(key);
        char* end = nullptr;
        const double n = std::strtod(value.c_str(), &end);
        failed = failed || value.empty() || *end != '\0';
        return n;
    }
    uint64_t count(const std::string& key)
    {
        const std::string value = text(key);
        char* end = nullptr;
        const unsigned long long n = std::strtoull(value.c_str(), &end, 10);
        failed = failed || value.empty() || *end != '\0' || value[0] == '-';
        return n;
    }
    int whole(const std::string& key) { return int(number(key)); }

    bool failed = false;

private:
    std::map<std::string, std::string> values;
};

}   // namespace

std::string video_report::name() const
{
    return format("%s %dx%d%s", code.c_str(), width, height, fields ? " fields" : "");
}

bool video_report::preview() const
{
    return !code.empty() && std::islower(static_cast<unsigned char>(code[0]));
}

const video_report* monitor_report::find(const std::string& code) const
{
    for (const video_report& v : video)
        if (v.code == code)
            return &v;
    return nullptr;
}

const video_report* monitor_report::stream(bool preview) const
{
    for (const video_report& v : video)
        if (v.preview() == preview)
            return &v;
    return nullptr;
}

std::string monitor_report::prose() const
{
    if (covers == span::interval) {
        std::string line = format("[%5.0f s]", seconds);
        for (const video_report& v : video)
            line += " " + v.name() + " " + rates_text(v) + " |";
        if (audio)
            line += format(" audio %.1f blocks/s %d Hz %d ch |", audio->blocks_per_second, audio->sample_rate,
                           audio->channels);
        if (video.empty() && !audio)
            line += " nothing yet |";
        return line + format(" dropped %llu late %llu", (unsigned long long)dropped, (unsigned long long)late);
    }
    std::string text = format("received in %.1f s:\n", seconds);
    for (const video_report& v : video)
        text += "  video " + v.name() +
            format(": %llu pictures, %.1f MB, ", (unsigned long long)v.pictures, double(v.bytes) / 1e6) +
            rates_text(v) + "\n";
    if (audio)
        text += format("  audio %d Hz %d ch: %llu blocks, %llu samples, %llu timecode jumps (off the block rate by "
                       "over 4 ms)\n",
                       audio->sample_rate, audio->channels, (unsigned long long)audio->blocks,
                       (unsigned long long)audio->samples, (unsigned long long)audio->timecode_jumps);
    if (video.empty() && !audio)
        text += "  no media\n";
    return text + format("  dropped %llu, late %llu\n", (unsigned long long)dropped, (unsigned long long)late);
}

std::string monitor_report::key_values() const
{
    std::string codes;
    for (const video_report& v : video)
        codes += (codes.empty() ? "" : ",") + key_code(v.code);
    std::string line =
        format("%s seconds=%.3f dropped=%llu late=%llu video=", covers == span::interval ? interval_word : summary_word,
               seconds, (unsigned long long)dropped, (unsigned long long)late) +
        codes;
    for (const video_report& v : video) {
        const std::string k = " " + key_code(v.code) + ".";
        line += format("%swidth=%d%sheight=%d%sfields=%d", k.c_str(), v.width, k.c_str(), v.height, k.c_str(),
                       int(v.fields));
        line += format("%spictures=%llu%sbytes=%llu", k.c_str(), (unsigned long long)v.pictures, k.c_str(),
                       (unsigned long long)v.bytes);
        line +=
            format("%spic_per_s=%.3f%smbit_per_s=%.3f", k.c_str(), v.pictures_per_second, k.c_str(), v.mbit_per_second);
        if (v.q_last >= 0)
            line += format("%sq=%d%sq_low=%d%sq_high=%d", k.c_str(), v.q_last, k.c_str(), v.q_low, k.c_str(), v.q_high);
        if (v.has_latency)
            line += format("%slatency_median_ms=%.3f%slatency_p99_ms=%.3f", k.c_str(), v.latency_median_ms, k.c_str(),
                           v.latency_p99_ms);
    }
    if (audio)
        line += format(" audio.sample_rate=%d audio.channels=%d audio.blocks=%llu audio.samples=%llu "
                       "audio.blocks_per_s=%.3f audio.timecode_jumps=%llu",
                       audio->sample_rate, audio->channels, (unsigned long long)audio->blocks,
                       (unsigned long long)audio->samples, audio->blocks_per_second,
                       (unsigned long long)audio->timecode_jumps);
    return line;
}

std::optional<monitor_report> monitor_report::parse(const std::string& line)
{
    std::istringstream words(line);
    std::string first;
    words >> first;
    monitor_report report;
    if (first == interval_word)
        report.covers = span::interval;
    else if (first == summary_word)
        report.covers = span::connection;
    else
        return std::nullopt;
    std::map<std::string, std::string> values;
    for (std::string word; words >> word;) {
        const size_t equals = word.find('=');
        if (equals == std::string::npos || equals == 0)
            return std::nullopt;
        values[word.substr(0, equals)] = word.substr(equals + 1);
    }
    key_values_reader read(std::move(values));
    report.seconds = read.number("seconds");
    report.dropped = read.count("dropped");
    report.late = read.count("late");
    std::istringstream codes(read.text("video"));
    for (std::string code; std::getline(codes, code, ',');) {
        video_report& v = report.video.emplace_back();
        v.code = code;
        const std::string k = code + ".";
        v.width = read.whole(k + "width");
        v.height = read.whole(k + "height");
        v.fields = read.count(k + "fields") != 0;
        v.pictures = read.count(k + "pictures");
        v.bytes = read.count(k + "bytes");
        v.pictures_per_second = read.number(k + "pic_per_s");
        v.mbit_per_second = read.number(k + "mbit_per_s");
        if (read.has(k + "q")) {
            v.q_last = read.whole(k + "q");
            v.q_low = read.whole(k + "q_low");
            v.q_high = read.whole(k + "q_high");
        }
        v.has_latency = read.has(k + "latency_median_ms");
        if (v.has_latency) {
            v.latency_median_ms = read.number(k + "latency_median_ms");
            v.latency_p99_ms = read.number(k + "latency_p99_ms");
        }
    }
    if (read.has("audio.blocks")) {
        audio_report& a = report.audio.emplace();
        a.sample_rate = read.whole("audio.sample_rate");
        a.channels = read.whole("audio.channels");
        a.blocks = read.count("audio.blocks");
        a.samples = read.count("audio.samples");
        a.blocks_per_second = read.number("audio.blocks_per_s");
        a.timecode_jumps = read.count("audio.timecode_jumps");
    }
    if (read.failed)
        return std::nullopt;
    return report;
}

std::optional<monitor_report> last_summary(const std::string& output)
{
    std::optional<monitor_report> last;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        if (auto report = monitor_report::parse(line); report && report->covers == monitor_report::span::connection)
            last = std::move(report);
    return last;
}

std::vector<monitor_report> interval_reports(const std::string& output)
{
    std::vector<monitor_report> reports;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        if (auto report = monitor_report::parse(line); report && report->covers == monitor_report::span::interval)
            reports.push_back(std::move(*report));
    return reports;
}

}   // namespace ndi_monitor
