// PTZ metadata as any receiver may send it: text -> request (as "ndiPTZ")
// -> VISCA commands (as "queuePTZ"). Whatever the text, the request is one
// the queue knows with its values in range, and every command is one VISCA
// message for camera 2.
#include <cmath>
#include <cstdint>
#include <vector>

#include "base/debug_log.h"
#include "fuzz/require.h"
#include "ptz/command_queue.h"
#include "ptz/metadata_interpreter.h"

namespace {

bool in_range(const ptz_request& r)
{
    if (!std::isfinite(r.value1) || !std::isfinite(r.value2))
        return false;
    switch (r.code) {
    case ptz_code::store_preset:
    case ptz_code::recall_preset:
        return r.value1 >= 0 && r.value1 <= 99 && r.value1 == std::trunc(r.value1) && r.value2 >= 0 && r.value2 <= 1;
    case ptz_code::pan_tilt_speed:
    case ptz_code::pan_tilt_position:
    case ptz_code::zoom_speed: return std::fabs(r.value1) <= 1 && std::fabs(r.value2) <= 1;
    default: return r.value1 >= 0 && r.value1 <= 1 && r.value2 >= 0 && r.value2 <= 1;
    }
}

bool one_message_for_camera_2(const visca_message& m)
{
    if (m.size < 3 || m.size > visca_message::max_size || m.bytes[0] != 0x82 || m.bytes[m.size - 1] != 0xFF)
        return false;
    for (size_t i = 0; i + 1 < m.size; ++i)
        if (m.bytes[i] == 0xFF)
            return false;
    return true;
}

}   // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    debug_level = 0;   // refused documents are logged; not here
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    const auto request = interpret_metadata(text.data());
    if (!request)
        return 0;
    REQUIRE(request->code >= 0);   // never the queue's end
    REQUIRE(in_range(*request));

    command_queue commands(
        [](const visca_message& m) {
            REQUIRE(one_message_for_camera_2(m));
            return int(m.size);
        },
        [] {});
    commands.execute(*request);
    return 0;
}
