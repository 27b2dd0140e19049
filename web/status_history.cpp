#include "web/status_history.h"

#include <cstdlib>

#include "web/json_text.h"

namespace {

constexpr std::string_view status_word = "status";
// A status line is about 500 bytes; anything far longer is not one.
constexpr size_t longest_line = 2048;
constexpr size_t most_fields = 64;

void append_optional(std::string& out, const std::optional<double>& value)
{
    if (value)
        append_json_number(out, *value);
    else
        out += "null";
}

}   // namespace

std::optional<double> status_history::sample::number(std::string_view key) const
{
    const std::string* value = text(key);
    if (!value || value->empty())
        return std::nullopt;
    char* end = nullptr;
    const double parsed = strtod(value->c_str(), &end);
    if (end != value->c_str() + value->size())
        return std::nullopt;
    return parsed;
}

const std::string* status_history::sample::text(std::string_view key) const
{
    for (const auto& [name, value] : fields)
        if (name == key)
            return &value;
    return nullptr;
}

bool status_history::add(double time, std::string_view line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    if (line.size() > longest_line || line.substr(0, status_word.size()) != status_word)
        return false;
    line.remove_prefix(status_word.size());
    if (!line.empty() && line.front() != ' ')
        return false;

    sample next;
    next.time = time;
    while (!line.empty()) {
        const size_t start = line.find_first_not_of(' ');
        if (start == std::string_view::npos)
            break;
        line.remove_prefix(start);
        const std::string_view word = line.substr(0, line.find(' '));
        line.remove_prefix(word.size());
        const size_t equals = word.find('=');
        if (equals == std::string_view::npos || equals == 0 || next.fields.size() == most_fields)
            continue;
        next.fields.emplace_back(std::string(word.substr(0, equals)), std::string(word.substr(equals + 1)));
    }
    samples.push_back(std::move(next));
    while (samples.size() > capacity)
        samples.pop_front();
    return true;
}

status_history::rates status_history::between(const sample& before, const sample& after)
{
    rates r;
    const double seconds = after.time - before.time;
    if (seconds <= 0)
        return r;
    const auto per_second = [&](std::string_view key) -> std::optional<double> {
        const auto a = before.number(key), b = after.number(key);
        if (!a || !b)
            return std::nullopt;
        return (*b - *a) / seconds;
    };
    // A counter that went back belongs to a program that started again: no
    // rates across that, rather than negative ones.
    for (const auto* key :
         {"full_sent", "preview_sent", "audio_sent", "full_dropped", "preview_dropped", "audio_dropped"}) {
        const auto change = per_second(key);
        if (change && *change < 0)
            return r;
    }
    r.full_fps = per_second("full_sent");
    r.preview_fps = per_second("preview_sent");
    r.audio_bps = per_second("audio_sent");
    double drops = 0;
    bool any = false;
    for (const auto* key : {"full_dropped", "preview_dropped", "audio_dropped"}) {
        if (const auto d = per_second(key)) {
            drops += *d;
            any = true;
        }
    }
    if (any)
        r.drops = drops;
    return r;
}

std::string status_history::latest_json() const
{
    if (samples.empty())
        return "null";
    const sample& last = samples.back();
    std::string out = "{\"time\":";
    append_json_number(out, last.time);
    out += ",\"fields\":{";
    bool first = true;
    for (const auto& [name, value] : last.fields) {
        if (!first)
            out += ',';
        first = false;
        append_json_string(out, name);
        out += ':';
        append_json_string(out, value);
    }
    out += "},\"rates\":{";
    rates r;
    if (samples.size() >= 2)
        r = between(samples[samples.size() - 2], last);
    out += "\"full_fps\":";
    append_optional(out, r.full_fps);
    out += ",\"preview_fps\":";
    append_optional(out, r.preview_fps);
    out += ",\"audio_bps\":";
    append_optional(out, r.audio_bps);
    out += ",\"drops\":";
    append_optional(out, r.drops);
    out += "}}";
    return out;
}

std::string status_history::history_json(double since) const
{
    struct column {
        const char* name;
        std::string values;
    };
    column columns[] = {{"time", {}},     {"full_mbps", {}},   {"preview_mbps", {}}, {"full_q", {}}, {"preview_q", {}},
                        {"full_fps", {}}, {"preview_fps", {}}, {"audio_bps", {}},    {"drops", {}},  {"receivers", {}}};
    for (size_t i = 0; i < samples.size(); ++i) {
        const sample& s = samples[i];
        if (s.time <= since)
            continue;
        const rates r = i > 0 ? between(samples[i - 1], s) : rates{};
        const std::optional<double> values[] = {s.time,
                                                s.number("full_mbps"),
                                                s.number("preview_mbps"),
                                                s.number("full_q"),
                                                s.number("preview_q"),
                                                r.full_fps,
                                                r.preview_fps,
                                                r.audio_bps,
                                                r.drops,
                                                s.number("receivers")};
        for (size_t c = 0; c < std::size(columns); ++c) {
            if (!columns[c].values.empty())
                columns[c].values += ',';
            append_optional(columns[c].values, values[c]);
        }
    }
    std::string out = "{";
    for (size_t c = 0; c < std::size(columns); ++c) {
        if (c)
            out += ',';
        append_json_string(out, columns[c].name);
        out += ":[" + columns[c].values + "]";
    }
    out += "}";
    return out;
}
