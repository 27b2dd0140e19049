#include "bench/report.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>

namespace bench {

std::string format(const char* pattern, ...)
{
    char text[512];
    va_list args;
    va_start(args, pattern);
    vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

std::string machine_description()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string model = "unknown processor";
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0 && line.find(':') != std::string::npos) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    double load[1] = {};
    getloadavg(load, 1);
    // The date goes with the figures: a shared machine is not the same
    // machine from one day to the next.
    char date[32] = "unknown date";
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (gmtime_r(&now, &utc))
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", &utc);
    return format("%s; %s, %ld CPUs, load average %.2f; %s build", date, model.c_str(), sysconf(_SC_NPROCESSORS_ONLN),
                  load[0], BENCH_BUILD_TYPE);
}

void print_guest_errors(const std::string& errors)
{
    if (errors.empty())
        return;
    std::printf("\nThe virtual cores reported guest errors, register writes the real cores would refuse:"
                " the program misdrove them and the figures above are not to be trusted.\n%.2000s",
                errors.c_str());
}

arguments::arguments(int argc, char** argv, std::map<std::string, std::string> defaults, const char* usage_text)
    : values(std::move(defaults)), usage(usage_text)
{
    for (int i = 1; i < argc; i += 2) {
        const std::string name = argv[i];
        if (name.rfind("--", 0) != 0 || !values.count(name.substr(2)) || i + 1 >= argc) {
            std::fprintf(stderr, "%s", usage);
            std::exit(2);
        }
        values[name.substr(2)] = argv[i + 1];
    }
}

double arguments::number(const std::string& name) const
{
    const std::string& value = values.at(name);
    char* end = nullptr;
    const double n = std::strtod(value.c_str(), &end);
    if (end == value.c_str() || *end != '\0' || !(n > 0)) {
        std::fprintf(stderr, "--%s wants a positive number\n%s", name.c_str(), usage);
        std::exit(2);
    }
    return n;
}

}   // namespace bench
