#include "sim/cores/encoder_core.h"

#include <string>

#include "hw/registers.h"

namespace vfpga {

encoder_core::encoder_core(fpga& board, unsigned index)
    : core_model(board, "encoder" + std::to_string(index), regs::encoder_block(index), register_count,
                 regs::irq_encoders),
      index(index)
{
}

uint32_t encoder_core::read(unsigned r)
{
    if (r == regs::encoder_present)
        return 1;
    return reg(r);
}

void encoder_core::write(unsigned r, uint32_t, uint32_t)
{
    if (r == regs::encoder_present)
        guest_error("write to the read-only presence register");
}

}  // namespace vfpga
