#include "sim/fpga/core_model.h"

#include <pthread.h>

#include <cstdarg>
#include <cstdio>

#include "sim/fpga/fpga.h"

namespace vfpga {

core_model::core_model(fpga& on_board, std::string name, uint32_t block, unsigned register_count, int irq)
    : board(on_board), model_name(std::move(name)), first_register(block), irq_number(irq),
      registers(register_count, 0)
{
}

void core_model::bus_write(unsigned reg, uint32_t value, uint32_t mask)
{
    registers[reg] = (registers[reg] & ~mask) | (value & mask);
    write(reg, value, mask);
}

void core_model::start_worker(std::function<void()> body)
{
    worker = std::thread(std::move(body));
    // Named apart from the program's threads, whose process it shares, so
    // that per-thread CPU figures tell the two apart.
    const std::string thread_name = ("fpga:" + model_name).substr(0, 15);
    pthread_setname_np(worker.native_handle(), thread_name.c_str());
}

void core_model::stop_worker()
{
    if (!worker.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(board.mutex());
        stopping = true;
        board.changed().notify_all();
    }
    worker.join();
}

void core_model::update_irq()
{
    if (irq_number >= 0)
        board.update_irq(irq_number);
}

void core_model::guest_error(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    board.report_guest_error(model_name + ": " + text);
}

}  // namespace vfpga
