// Helpers shared by the audio tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/debug_capture.h"

#include "tests/support/loopback_sender.h"

// Whether a thread of this process carries the name.
bool thread_running(const std::string& name);

// Where in the test tone an interleaved stereo block starts: its first
// sample index modulo tone_cycle, when every sample of both channels is the
// 1 kHz (channel 0) and 440 Hz (channel 1) sine at -20 dBFS; empty when the
// block is not a clean stretch of the tone.
constexpr int64_t tone_cycle = 1200;   // samples after which both sines repeat
std::optional<int64_t> tone_position(const int32_t* interleaved, uint32_t samples);

// The program's view of one board register write, for comparing sequences.
struct bus_write {
    unsigned reg;
    unsigned lane;   // 0 for a word
    uint32_t value;
    int width;
    bool operator==(const bus_write&) const = default;
};
void PrintTo(const bus_write& w, std::ostream* out);
