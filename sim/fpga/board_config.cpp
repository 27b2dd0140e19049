#include "sim/fpga/board_config.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "base/file_descriptor.h"
#include "hw/soc.h"

namespace vfpga {

namespace {

uint32_t parse_number(const std::string& key, const std::string& text)
{
    try {
        size_t used = 0;
        const unsigned long long value = std::stoull(text, &used, 0);
        if (used != text.size() || value > 0xFFFFFFFFull)
            throw std::invalid_argument(text);
        return uint32_t(value);
    } catch (const std::exception&) {
        throw std::runtime_error("board.conf: bad number for " + key + ": " + text);
    }
}

std::string hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

void write_cells(const std::string& path, const std::vector<uint32_t>& cells)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    for (uint32_t cell : cells) {
        const uint32_t big_endian = htonl(cell);
        file.write(reinterpret_cast<const char*>(&big_endian), sizeof big_endian);
    }
    if (!file)
        throw std::runtime_error("cannot write " + path);
}

std::vector<uint32_t> reg_cells(bool two_cells, uint32_t address, uint32_t size)
{
    if (two_cells)
        return {address, size};
    return {0, address, 0, size};
}

}   // namespace

std::string board_config::setting(const std::string& key, const std::string& fallback) const
{
    auto it = settings.find(key);
    return it == settings.end() ? fallback : it->second;
}

uint64_t board_config::memory_size() const
{
    uint64_t end = uint64_t(reserved_address) + reserved_size;
    if (video_node)
        end = std::max(end, uint64_t(video_address) + video_size);
    else
        end = std::max<uint64_t>(end, uint64_t(soc::default_raw.address) + soc::default_raw.size);
    return end;
}

board_config board_config::load(const std::string& path)
{
    std::ifstream file(path);
    if (!file)
        throw std::runtime_error("cannot read " + path);
    std::stringstream text;
    text << file.rdbuf();
    return parse(text.str());
}

board_config board_config::parse(const std::string& text)
{
    std::istringstream file(text);
    board_config config;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            throw std::runtime_error("board.conf: not a key=value line: " + line);
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        if (key == "input_cores")
            config.input_cores = parse_number(key, value) != 0;
        else if (key == "output_cores")
            config.output_cores = parse_number(key, value) != 0;
        else if (key == "encoders")
            config.encoders = int(parse_number(key, value));
        else if (key == "platform")
            config.platform = parse_number(key, value);
        else if (key == "date")
            config.date = parse_number(key, value);
        else if (key == "without") {
            std::istringstream names(value);
            for (std::string name; names >> name;)
                config.without.insert(name);
        } else if (key == "regs_address")
            config.regs_address = parse_number(key, value);
        else if (key == "regs_size")
            config.regs_size = parse_number(key, value);
        else if (key == "reserved_address")
            config.reserved_address = parse_number(key, value);
        else if (key == "reserved_size")
            config.reserved_size = parse_number(key, value);
        else if (key == "two_cells")
            config.two_cells = parse_number(key, value) != 0;
        else if (key == "video_node")
            config.video_node = parse_number(key, value) != 0;
        else if (key == "video_address")
            config.video_address = parse_number(key, value);
        else if (key == "video_size")
            config.video_size = parse_number(key, value);
        else if (key == "clock")
            config.clock = value;
        else if (key == "keep_writes")
            config.keep_writes = parse_number(key, value) != 0;
        else
            config.settings[key] = value;
    }
    if (config.encoders != 1 && config.encoders != 2 && config.encoders != 4)
        throw std::runtime_error("board.conf: encoders must be 1, 2 or 4");
    if (config.regs_size < 0x1000 || (config.regs_size & (config.regs_size - 1)))
        throw std::runtime_error("board.conf: regs_size must be a power of two of at least 4 KiB");
    if (config.clock != "realtime" && config.clock != "fast" && config.clock != "stepped")
        throw std::runtime_error("board.conf: clock must be realtime, fast or stepped");
    return config;
}

void board_config::save(const std::string& path) const
{
    std::ofstream file(path, std::ios::trunc);
    file << "# virtual board\n"
         << "input_cores=" << input_cores << "\n"
         << "output_cores=" << output_cores << "\n"
         << "encoders=" << encoders << "\n"
         << "platform=" << hex(platform) << "\n"
         << "date=" << hex(date) << "\n";
    file << "without=";
    for (const auto& name : without)
        file << name << " ";
    file << "\n"
         << "regs_address=" << hex(regs_address) << "\n"
         << "regs_size=" << hex(regs_size) << "\n"
         << "reserved_address=" << hex(reserved_address) << "\n"
         << "reserved_size=" << hex(reserved_size) << "\n"
         << "two_cells=" << two_cells << "\n"
         << "video_node=" << video_node << "\n"
         << "video_address=" << hex(video_address) << "\n"
         << "video_size=" << hex(video_size) << "\n"
         << "clock=" << clock << "\n"
         << "keep_writes=" << keep_writes << "\n";
    for (const auto& [key, value] : settings)
        file << key << "=" << value << "\n";
    if (!file)
        throw std::runtime_error("cannot write " + path);
}

void make_board_root(const board_config& config, const std::string& dir)
{
    namespace fs = std::filesystem;
    // The board's paths are absolute; under the root they are relative.
    const auto under_root = [&](const char* path) {
        const fs::path file = fs::path(dir) / fs::path(path).relative_path();
        fs::create_directories(file.parent_path());
        return file.string();
    };
    config.save(under_root("/board.conf"));
    write_cells(under_root(soc::reserved_reg_path),
                reg_cells(config.two_cells, config.reserved_address, config.reserved_size));
    if (config.video_node)
        write_cells(under_root(soc::video_reg_path),
                    reg_cells(config.two_cells, config.video_address, config.video_size));
    // Physical memory: a sparse file, physical address = file offset.
    const std::string mem = under_root(soc::memory_device);
    const file_descriptor fd(open(mem.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd || ftruncate(fd.get(), off_t(config.memory_size())) != 0)
        throw std::runtime_error("cannot make " + mem);
}

}   // namespace vfpga
