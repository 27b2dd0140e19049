// The program's metadata interpreter and command queue, run the way the
// reference runs, with their results in the reference's terms, so that the
// differential tests and the fuzzer compare like with like.
#pragma once

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "ptz/command_queue.h"
#include "ptz/metadata_interpreter.h"
#include "tests/ptz/reference/requests_reference.h"

namespace differential {

inline std::optional<reference::request> product_request(const std::string& text)
{
    std::vector<char> copy(text.c_str(), text.c_str() + std::strlen(text.c_str()) + 1);
    const std::optional<ptz_request> r = interpret_metadata(copy.data());
    if (!r)
        return std::nullopt;
    return reference::request{r->code, r->value1, r->value2};
}

// Pushes every request and the end request into the ring, then serves it.
inline reference::trace product_serve(const std::vector<reference::request>& pushed)
{
    reference::trace line;
    command_queue commands(
        [&](const visca_message& m) {
            line.emplace_back(m.data(), m.data() + m.size);
            return int(m.size);
        },
        [&] { line.emplace_back(); });
    request_ring ring;
    for (const reference::request& r : pushed)
        ring.push({r.code, r.value1, r.value2});
    ring.push({ptz_code::stop_queue, 0, 0});
    // As command_queue::run serves, but never waiting: a ring that lost its
    // end request ends the run instead of hanging it.
    while (ring.size() > 0) {
        const ptz_request r = ring.take();
        if (r.code == ptz_code::stop_queue)
            return line;
        commands.execute(r);
        line.emplace_back();
    }
    line.push_back({0xEE, 0xEE});   // no end request: never a VISCA command
    return line;
}

// Equal to the bit, so that -0.0 and 0.0 or two NaNs are told apart.
inline bool same(const std::optional<reference::request>& a, const std::optional<reference::request>& b)
{
    if (!a || !b)
        return !a && !b;
    return a->code == b->code && std::memcmp(&a->value1, &b->value1, sizeof(float)) == 0 &&
        std::memcmp(&a->value2, &b->value2, sizeof(float)) == 0;
}

}   // namespace differential
