// The record of the program's send calls that NDI_SIM_SEND_LOG asks for:
// when each video and audio frame was handed over, on the wall clock, with
// the frame's timecode, so that a tool can tell how long a picture took from
// its capture (which the program stamps as its timecode) to the send call.
//
// One line a call, written when the sender is destroyed:
//     1712345678.123456789 SHQ2 17123456781234567 245678 progressive
//     1712345678.123501234 audio 17123456781230000 3840
// that is the time of the call, the stream (the video's four-character code,
// or audio), the timecode in 100 ns units, the bytes handed over and, for
// video, the frame format type (progressive, field0, field1, interleaved).
// Until then the calls are kept in memory: recording one costs the calling
// thread a clock read and a store.
//
// Thread rules: record() is called from any sender thread; mutex guards calls.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/owned_file.h"

namespace ndi_sim {

class send_log {
public:
    static constexpr int32_t audio = 0;   // the stream of an audio call

    // Null, with the reason in error, when the file cannot be written.
    static std::unique_ptr<send_log> open(const std::string& path, std::string& error);
    ~send_log();   // writes the file

    static int64_t now_ns();
    // stream: the video's four-character code, or audio.
    void record(int64_t called_ns, uint32_t stream, int64_t timecode, int64_t bytes, int32_t frame_format);

private:
    struct call {
        int64_t called_ns;
        uint32_t stream;
        int32_t frame_format;
        int64_t timecode;
        int64_t bytes;
    };

    explicit send_log(owned_file output) : file(std::move(output)) {}

    const owned_file file;
    std::mutex mutex;
    std::vector<call> calls;
};

}   // namespace ndi_sim
