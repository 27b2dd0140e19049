#include "sim/ndi/sender_config.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdlib>
#include <map>

namespace ndi_sim {

namespace {

// A small strict JSON reader that flattens every scalar into "a.b.c" → text.
// Strings lose their quotes (escapes other than \" \\ \/ are kept as
// written; the configuration needs none); numbers, true, false and null keep
// their spelling. Array elements are read and dropped.
class json_flattener {
public:
    explicit json_flattener(const std::string& json) : text(json) {}

    bool parse(std::map<std::string, std::string>& out)
    {
        values = &out;
        skip_space();
        if (!value(""))
            return false;
        skip_space();
        return position == text.size();
    }

private:
    bool value(const std::string& path)
    {
        if (++depth > 32)
            return false;
        skip_space();
        bool ok = false;
        if (position >= text.size())
            ok = false;
        else if (text[position] == '{')
            ok = object(path);
        else if (text[position] == '[')
            ok = array(path);
        else if (text[position] == '"') {
            std::string s;
            ok = string(s);
            if (ok)
                (*values)[path] = s;
        } else
            ok = scalar(path);
        --depth;
        return ok;
    }

    bool object(const std::string& path)
    {
        ++position;
        skip_space();
        if (peek() == '}') {
            ++position;
            return true;
        }
        for (;;) {
            skip_space();
            std::string key;
            if (peek() != '"' || !string(key))
                return false;
            skip_space();
            if (peek() != ':')
                return false;
            ++position;
            if (!value(path.empty() ? key : path + "." + key))
                return false;
            skip_space();
            if (peek() == ',') {
                ++position;
                continue;
            }
            if (peek() == '}') {
                ++position;
                return true;
            }
            return false;
        }
    }

    bool array(const std::string& path)
    {
        ++position;
        skip_space();
        if (peek() == ']') {
            ++position;
            return true;
        }
        std::map<std::string, std::string> discard;
        auto* kept = values;
        values = &discard;
        bool ok = false;
        for (;;) {
            if (!value(path))
                break;
            skip_space();
            if (peek() == ',') {
                ++position;
                continue;
            }
            if (peek() == ']') {
                ++position;
                ok = true;
            }
            break;
        }
        values = kept;
        return ok;
    }

    bool string(std::string& out)
    {
        ++position;
        while (position < text.size()) {
            char c = text[position++];
            if (c == '"')
                return true;
            if (c == '\\') {
                if (position >= text.size())
                    return false;
                char e = text[position++];
                if (e == '"' || e == '\\' || e == '/')
                    out += e;
                else {
                    out += '\\';
                    out += e;
                }
            } else if (static_cast<unsigned char>(c) < 0x20)
                return false;
            else
                out += c;
        }
        return false;
    }

    bool scalar(const std::string& path)
    {
        size_t start = position;
        while (position < text.size() &&
               (std::isalnum(static_cast<unsigned char>(text[position])) || text[position] == '-' ||
                text[position] == '+' || text[position] == '.'))
            ++position;
        std::string token = text.substr(start, position - start);
        if (token.empty())
            return false;
        if (token != "true" && token != "false" && token != "null") {
            char* end = nullptr;
            std::strtod(token.c_str(), &end);
            if (end != token.c_str() + token.size())
                return false;
        }
        (*values)[path] = token;
        return true;
    }

    void skip_space()
    {
        while (position < text.size() && std::isspace(static_cast<unsigned char>(text[position])))
            ++position;
    }
    char peek() const { return position < text.size() ? text[position] : '\0'; }

    const std::string& text;
    size_t position = 0;
    int depth = 0;
    std::map<std::string, std::string>* values = nullptr;
};

bool parse_port(const std::string& text, uint16_t& port)
{
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 0 || value > 65535)
        return false;
    port = uint16_t(value);
    return true;
}

bool valid_address(const std::string& text)
{
    in_addr address{};
    return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

}   // namespace

std::optional<sender_config> sender_config::from(const char* configuration_text, std::string& error)
{
    sender_config config;

    if (configuration_text != nullptr && configuration_text[0] != '\0') {
        std::string text = configuration_text;
        std::map<std::string, std::string> values;
        if (!json_flattener(text).parse(values)) {
            error = "configuration text is not valid JSON";
            return std::nullopt;
        }
        if (auto it = values.find("tcp.port"); it != values.end() && !parse_port(it->second, config.port)) {
            error = "configuration tcp.port is not a port number: " + it->second;
            return std::nullopt;
        }
        if (auto it = values.find("tcp.address"); it != values.end())
            config.address = it->second;
    }

    if (const char* port = std::getenv("NDI_SIM_PORT"); port != nullptr && port[0] != '\0') {
        if (!parse_port(port, config.port)) {
            error = std::string("NDI_SIM_PORT is not a port number: ") + port;
            return std::nullopt;
        }
    }
    if (const char* address = std::getenv("NDI_SIM_ADDRESS"); address != nullptr && address[0] != '\0')
        config.address = address;
    if (const char* verbose = std::getenv("NDI_SIM_VERBOSE"); verbose != nullptr)
        config.verbose = verbose[0] != '\0' && verbose[0] != '0';
    if (const char* log = std::getenv("NDI_SIM_SEND_LOG"); log != nullptr)
        config.send_log = log;

    if (const char* bitrate = std::getenv("NDI_SIM_BITRATE"); bitrate != nullptr && bitrate[0] != '\0') {
        char* end = nullptr;
        const double mbps = std::strtod(bitrate, &end);
        if (end == bitrate || *end != '\0' || !(mbps > 0 && mbps <= 10000)) {
            error = std::string("NDI_SIM_BITRATE is not a bitrate in Mbit/s: ") + bitrate;
            return std::nullopt;
        }
        config.full_mbps = mbps;
    }

    if (!valid_address(config.address)) {
        error = "not an IPv4 address: " + config.address;
        return std::nullopt;
    }
    return config;
}

}   // namespace ndi_sim
