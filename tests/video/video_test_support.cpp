#include "tests/video/video_test_support.h"

#include <unistd.h>

#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "base/debug_log.h"

uint64_t units_completed(vfpga::fpga& board, const vfpga::capture_core& core)
{
    std::lock_guard<std::mutex> lock(board.mutex());
    return core.completed();
}

std::optional<vfpga::picture_stamp> stamp_at(vfpga::fpga& board, uint32_t address)
{
    std::lock_guard<std::mutex> lock(board.mutex());
    const uint8_t* bytes = board.dma(address, vfpga::picture_stamp::size);
    return bytes ? vfpga::picture_stamp::read(bytes) : std::nullopt;
}
