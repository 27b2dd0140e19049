// The appliance's resident program: makes the long-lived objects in order,
// serves the control pipe, and releases everything in order on "exit".
#include <cstdio>
#include <exception>
#include <memory>

#include "app/debug_log.h"
#include "app/options.h"
#include "hw/hardware.h"

namespace {

int run(int argc, char** argv)
{
    options opts;
    if (auto status = parse_options(argc, argv, opts))
        return *status;

    auto hw = std::make_shared<hardware>();
    if (!hw->is_ready()) {
        fprintf(stderr, "Could not initialize hardware\n");
        return 0;
    }
    const platform_info platform = hw->get_platform_info();
    debug_print(3, "Platform: %s\n", platform.name.c_str());
    debug_print(3, "Version : %i.%i.%i\n", platform.major, platform.minor, platform.patch);
    debug_print(3, "Date    : %08x\n", platform.date);
    hw->translate_addresses = true;
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    // A failed start ends with its message and status 1, without a core dump,
    // so that a supervisor can tell it from a clean stop.
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        fflush(stdout);
        fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
