// What every benchmark shares besides its tables: its command line (a few
// --name value options), the machine it ran on, and printf into a string.
//
// Thread rules: none.
#pragma once

#include <map>
#include <string>

namespace bench {

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

// "2026-12-10 00:40 UTC; AMD EPYC 7B13, 2 CPUs, load average 0.42;
// RelWithDebInfo build": when, on what, beside how much load, built how.
std::string machine_description();

// Guest errors of a run (board_run::guest_errors), if any, with a warning
// that the program misdrove its cores.
void print_guest_errors(const std::string& errors);

// --name value pairs, each name one of those given with its default.
// Anything else: the usage text on standard error and exit status 2.
class arguments {
public:
    arguments(int argc, char** argv, std::map<std::string, std::string> defaults, const char* usage);
    std::string text(const std::string& name) const { return values.at(name); }
    // A positive number, else the usage text and exit status 2.
    double number(const std::string& name) const;

private:
    std::map<std::string, std::string> values;
    const char* usage;
};

}   // namespace bench
