// The control-pipe command interpreter: whatever one read of the command
// pipe holds, one short reply built from known pieces, no read past the
// command buffer, and "exit" alone ends the loop.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "app/command_interpreter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The first byte picks which paths exist (-X, -x) and what they report;
    // the rest is the read.
    const uint8_t shape = size > 0 ? data[0] : 0;
    const std::string_view input(reinterpret_cast<const char*>(data) + (size > 0), size - (size > 0));

    signal_info video;
    video.valid = shape & 4 ? 1 : 0;
    video.width = 1920;
    video.height = shape & 8 ? 540 : 1080;
    video.interlaced = shape & 8 ? 1 : 0;
    video.frame_rate_n = 60000;
    video.frame_rate_d = shape & 16 ? 0 : 1001;
    audio_config audio{};
    audio.enabled = shape & 32;
    audio.channels = shape & 64 ? 2 : 1;
    audio.sample_rate = 48000;
    status_snapshot status;
    status.video = shape & 1;
    status.signal = video;
    status.media_counters = shape & 128;
    status.camera_counters = shape & 2;

    const command_reply reply =
        interpret_command(input, shape & 1 ? &video : nullptr, shape & 2 ? &audio : nullptr, status);
    if (reply.exit && (reply.unknown || !reply.text.empty()))
        abort();
    if (reply.unknown && !reply.text.empty())
        abort();
    if (reply.text.size() > 1024)
        abort();
    return 0;
}
