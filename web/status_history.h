// The program's "status" lines of the last ten minutes, one a second, as
// the page and the JSON interface show them: the newest line's pairs, the
// per-second rates derived from its counters, and columns of the figures
// the plots draw.
//
// Not locked: its owner (web_state) holds the lock around every call.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class status_history {
public:
    // Ten minutes at one line a second.
    static constexpr size_t capacity = 600;

    struct sample {
        double time = 0;   // seconds since the Unix epoch, when the line came
        std::vector<std::pair<std::string, std::string>> fields;
        std::optional<double> number(std::string_view key) const;
        const std::string* text(std::string_view key) const;
    };

    // Parses "status key=value ...\n"; false (and nothing kept) for any
    // other line.
    bool add(double time, std::string_view line);

    const sample* latest() const { return samples.empty() ? nullptr : &samples.back(); }
    size_t size() const { return samples.size(); }

    // {"time":..,"fields":{..},"rates":{..}} of the newest line, or null.
    std::string latest_json() const;
    // Columns from the first line after since: {"time":[..],"full_mbps":[..],...}.
    std::string history_json(double since) const;

private:
    // Per second between two lines: pictures and blocks sent, drops.
    struct rates {
        std::optional<double> full_fps, preview_fps, audio_bps, drops;
    };
    static rates between(const sample& before, const sample& after);

    std::deque<sample> samples;
};
