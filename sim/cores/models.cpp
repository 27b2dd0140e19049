// The cores of a virtual board. One line per model kind.
#include <memory>

#include "sim/cores/audio_core.h"
#include "sim/cores/encoder_core.h"
#include "sim/cores/preview_input_core.h"
#include "sim/cores/track_core.h"
#include "sim/cores/video_input_core.h"
#include "sim/fpga/fpga.h"

namespace vfpga {

void build_models(fpga& board)
{
    const board_config& config = board.config();
    board.add_model(std::make_unique<track_core>(board));   // first: it sets the input the others see
    auto encoders = std::make_shared<encoder_group>();
    for (int i = 0; i < config.encoders; ++i)
        board.add_model(std::make_unique<encoder_core>(board, unsigned(i), encoders));
    if (board.device_present("aud_in"))
        board.add_model(std::make_unique<audio_core>(board));
    if (board.device_present("vid_in"))
        board.add_model(std::make_unique<video_input_core>(board));
    if (board.device_present("pvw_in"))
        board.add_model(std::make_unique<preview_input_core>(board));   // after vid_in, whose pictures it scales
}

void check_model_settings(const board_config& config)
{
    encoder_fault::parse(config.setting("encoder_fault"), config.encoders);
    pattern_setting(config);
}

}   // namespace vfpga
