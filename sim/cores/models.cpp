// The cores of a virtual board. One line per model kind.
#include <memory>

#include "sim/cores/audio_core.h"
#include "sim/cores/encoder_core.h"
#include "sim/fpga/fpga.h"

namespace vfpga {

void build_models(fpga& board)
{
    const board_config& config = board.config();
    for (int i = 0; i < config.encoders; ++i)
        board.add_model(std::make_unique<encoder_core>(board, unsigned(i)));
    if (board.device_present("aud_in"))
        board.add_model(std::make_unique<audio_core>(board));
}

}  // namespace vfpga
