#include "sim/cores/encoder_core.h"

#include <string>

#include "hw/registers.h"

namespace vfpga {

encoder_core::encoder_core(fpga& on_board, unsigned core_index)
    : core_model(on_board, "encoder" + std::to_string(core_index), regs::encoder_block(core_index), register_count,
                 regs::irq_encoders),
      index(core_index)
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
