// A video encoder core. So far it only answers the presence register that
// the program reads to count the cores; coding comes with its own model.
#pragma once

#include "sim/fpga/core_model.h"

namespace vfpga {

class encoder_core : public core_model {
public:
    static constexpr unsigned register_count = 16;

    encoder_core(fpga& board, unsigned index);

    uint32_t read(unsigned reg) override;

protected:
    void write(unsigned reg, uint32_t value, uint32_t mask) override;

private:
    [[maybe_unused]] unsigned index;   // which of the four; coding will need it
};

}  // namespace vfpga
