#include "sim/cores/track_core.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <stdexcept>

#include "hw/registers.h"
#include "sim/fpga/fpga.h"

namespace vfpga {

namespace {

std::string trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// The longest delay a schedule may ask for; anything beyond is a typo.
constexpr double longest_delay_s = 1e6;

// "5s", "1.5s", "300ms"; nullopt when it is none of these.
std::optional<model_clock::duration> parse_delay(const std::string& text)
{
    size_t digits = 0, dots = 0, used = 0;
    for (; used < text.size(); ++used) {
        if (text[used] >= '0' && text[used] <= '9')
            ++digits;
        else if (text[used] == '.')
            ++dots;
        else
            break;
    }
    if (!digits || dots > 1)
        return std::nullopt;
    const std::string unit = text.substr(used);
    double scale = 0;
    if (unit == "s")
        scale = 1;
    else if (unit == "ms")
        scale = 1e-3;
    else
        return std::nullopt;
    const double seconds = std::strtod(text.substr(0, used).c_str(), nullptr) * scale;
    if (seconds > longest_delay_s)
        return std::nullopt;
    return model_clock::duration(int64_t(std::llround(seconds * 1e9)));
}

}   // namespace

std::vector<scheduled_signal> parse_signal_schedule(const std::string& text)
{
    auto fault = [&](const std::string& what) {
        return std::runtime_error("signal schedule \"" + text + "\": " + what);
    };
    auto format = [&](const std::string& name) {
        const std::optional<video_signal> signal = video_signal::parse(name);
        if (!signal)
            throw fault("unknown format \"" + name + "\" (for example 1080p60, 1080i59.94, 720p50, none)");
        return *signal;
    };

    std::vector<scheduled_signal> steps;
    size_t begin = 0;
    for (;;) {
        const size_t comma = text.find(',', begin);
        const std::string item = trimmed(text.substr(begin, comma == std::string::npos ? comma : comma - begin));
        if (item.empty())
            throw fault(steps.empty() && comma == std::string::npos ? "empty" : "empty step");
        if (steps.empty()) {
            steps.push_back({model_clock::duration(0), format(item)});
        } else {
            const size_t colon = item.find(':');
            if (colon == std::string::npos)
                throw fault("step \"" + item + "\" is not DELAY:FORMAT");
            const std::string delay_text = trimmed(item.substr(0, colon));
            const std::optional<model_clock::duration> delay = parse_delay(delay_text);
            if (!delay)
                throw fault("bad delay \"" + delay_text + "\" (for example 5s, 1.5s, 300ms)");
            steps.push_back({*delay, format(trimmed(item.substr(colon + 1)))});
        }
        if (comma == std::string::npos)
            break;
        begin = comma + 1;
    }
    return steps;
}

uint32_t track_status(const video_signal& signal)
{
    if (!signal.present)
        return 0;
    uint32_t word = 0;
    if (signal.width == 1920 && signal.height == 1080 && !signal.interlaced)
        word |= regs::track_1080p;
    else if (signal.width == 1920 && signal.height == 540 && signal.interlaced)
        word |= regs::track_1080i;
    else if (signal.width == 1280 && signal.height == 720 && !signal.interlaced)
        word |= regs::track_720p;
    const uint32_t period = std::min<uint32_t>(signal.period_us(), 0xFFFF);
    return word | period << regs::track_period_shift;
}

track_core::track_core(fpga& on_board)
    : core_model(on_board, "track", regs::track_map),
      schedule(parse_signal_schedule(on_board.config().setting("signal", default_schedule)))
{
    std::lock_guard<std::mutex> lock(board.mutex());
    board.set_input(schedule.front().signal);
    status = track_status(board.input());
}

track_core::~track_core()
{
    stop();
}

void track_core::reset()
{
    running = false;
    event = false;
    core_model::reset();
}

uint32_t track_core::read(unsigned r)
{
    return r == regs::control ? status : reg(r);
}

bool track_core::irq_asserted() const
{
    return running && event;
}

void track_core::input_changed()
{
    const uint32_t measured = track_status(board.input());
    if (measured == status)
        return;
    status = measured;
    if (running)
        event = true;
    update_irq();
}

void track_core::write(unsigned, uint32_t value, uint32_t mask)
{
    // Register 0 alone, and only its lane 0: the register map refuses the rest.
    if (!writes_lane(mask, regs::lane_command))
        return;
    const uint8_t control = lane(value, regs::lane_command);
    switch (control) {
    case regs::track_start:
    case regs::track_acknowledge:
        // Both run the core; a start also forgets an event from an earlier run.
        running = true;
        event = false;
        break;
    case regs::track_stop:
        running = false;
        event = false;
        break;
    default: guest_error("unknown control byte 0x%02x in register 0", control); return;
    }
    update_irq();
}

void track_core::set_signal(const video_signal& signal)
{
    std::lock_guard<std::mutex> lock(board.mutex());
    board.set_input(signal);
}

void track_core::start()
{
    if (schedule.size() > 1)
        start_worker([this] { run_schedule(); });
}

void track_core::stop()
{
    stop_worker();
}

void track_core::run_schedule()
{
    std::unique_lock<std::mutex> lock(board.mutex());
    auto stopped = [&] { return stopping; };
    model_clock::duration at(0);
    for (size_t i = 1; i < schedule.size(); ++i) {
        at += schedule[i].delay;
        bool reached = false;
        if (board.clock().kind() == model_clock::mode::stepped)
            reached = board.clock().wait_until(lock, wakeup(), at, stopped);
        else
            reached = !wakeup().wait_until(lock, made + at, stopped);
        if (!reached)
            return;
        board.set_input(schedule[i].signal);
    }
}

}   // namespace vfpga
