// Helpers shared by the video tests.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "sim/cores/video_pattern.h"
#include "sim/fpga/capture_core.h"
#include "sim/fpga/fpga.h"
#include "tests/support/debug_capture.h"

// Read under the board's mutex, as the models write them.
uint64_t units_completed(vfpga::fpga& board, const vfpga::capture_core& core);
std::optional<vfpga::picture_stamp> stamp_at(vfpga::fpga& board, uint32_t address);
