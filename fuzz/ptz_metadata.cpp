// PTZ metadata as any receiver may send it: text -> request (as "ndiPTZ")
// -> VISCA commands (as "queuePTZ"), held to the reference beside the tests.
// Whatever the text, the request is one the queue knows with its values in
// range, every command is one VISCA message for camera 2, and the requests
// and the bytes on the line are the reference's with its declared mends.
//
// An input that starts with 0x01 (never a document: rapidxml wants '<')
// is instead a run of requests queued back to back, five bytes each, so
// that the ring's merging and dropping and the queue's remembered modes
// meet every order of requests.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "base/debug_log.h"
#include "fuzz/require.h"
#include "ptz/command_queue.h"
#include "ptz/metadata_interpreter.h"
#include "tests/ptz/reference/requests_differential.h"
#include "tests/ptz/reference/requests_reference.h"

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

bool one_message_for_camera_2(const std::vector<uint8_t>& m)
{
    if (m.size() < 3 || m.size() > visca_message::max_size || m[0] != 0x82 || m.back() != 0xFF)
        return false;
    for (size_t i = 0; i + 1 < m.size(); ++i)
        if (m[i] == 0xFF)
            return false;
    return true;
}

void require_commands_for_camera_2(const reference::trace& line)
{
    for (const auto& command : line)
        REQUIRE(command.empty() || one_message_for_camera_2(command));
}

void document(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto request = differential::product_request(text);
    REQUIRE(differential::same(request, reference::metadata_request(text, reference::all_mends)));
    if (!request)
        return;
    REQUIRE(request->code >= 0);   // never the queue's end
    REQUIRE(in_range({request->code, request->value1, request->value2}));
    const reference::trace line = differential::product_serve({*request});
    REQUIRE(line == reference::serve({*request}, reference::all_mends));
    require_commands_for_camera_2(line);
}

// One request of any code the interpreter queues (and one it never does),
// with values spread over that code's range.
reference::request request_from(const uint8_t* b)
{
    static constexpr int32_t codes[] = {0,     0x100, 0x102, 0x104, 0x200, 0x202, 0x204, 0x300, 0x302, 0x304,
                                        0x306, 0x308, 0x400, 0x402, 0x500, 0x502, 0x600, 0x602, 0x700, 0x999};
    const int32_t code = codes[b[0] % (sizeof codes / sizeof codes[0])];
    const int a = b[1] << 8 | b[2];
    const int c = b[3] << 8 | b[4];
    const auto unit = [](int v) { return float(v) / 65535.0f; };
    const auto signed_unit = [](int v) { return v == 0 ? -1.0f : float(v - 32768) / 32767.0f; };
    switch (code) {
    case 0x100:
    case 0x104: return {code, signed_unit(a), signed_unit(c)};
    case 0x200: return {code, a == 32768 ? 1.0f : signed_unit(a), 0};   // never 0
    case 0x204:
    case 0x402:
    case 0x502: return {code, unit(a), 0};
    case 0x308: return {code, unit(a), unit(c)};
    case 0x600: return {code, float(a % 100), 0};
    case 0x602: return {code, float(a % 100), unit(c)};
    case 0x700: return {code, float(a & 1), 0};
    case 0x999: return {code, unit(a), unit(c)};
    default: return {code, 0, 0};
    }
}

void queued_requests(const uint8_t* data, size_t size)
{
    std::vector<reference::request> pushed;
    for (size_t at = 0; at + 5 <= size; at += 5)
        pushed.push_back(request_from(data + at));
    const reference::trace line = differential::product_serve(pushed);
    REQUIRE(line == reference::serve(pushed, reference::all_mends));
    require_commands_for_camera_2(line);
}

}   // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    debug_level = 0;   // refused documents are logged; not here
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 0 && data[0] == 0x01)
        queued_requests(data + 1, size - 1);
    else
        document(data, size);
    return 0;
}
