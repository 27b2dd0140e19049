// The metadata requests and the VISCA commands, transcribed plainly from the
// algorithms they follow: the element table, the clamps, the request ring
// with its merging, the command table with its pauses and the encoders. It
// shares no code with the program, so that a fault the two would share has
// to be written twice to pass the differential checks.
//
// mends switches on the departures that the program makes on purpose, each
// listed with its reason in README.md; with none set, this is the plain
// algorithm.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace reference {

struct request {
    int32_t code = 0;
    float value1 = 0.0f;
    float value2 = 0.0f;
};

struct mends {
    bool bounded_documents = false;   // longer than 1024 bytes or deeper than 4: refused
    bool nan_reads_as_zero = false;   // an attribute strtod reads as NaN counts as 0
    bool stops_kept = false;          // a full ring drops a request that is not a stop first
};

constexpr mends all_mends{true, true, true};

// The request a document asks for; nothing where no request is queued.
std::optional<request> metadata_request(const std::string& text, const mends& applied);

// How deep rapidxml goes into element contents: the deepest element that is
// not written "<a/>", counting its ancestors, found from rapidxml's own tree.
// Nothing when rapidxml refuses the text.
std::optional<int> element_depth(const std::string& text);

// What goes to the line: each VISCA command in order, and an empty entry
// for each 30 ms pause.
using trace = std::vector<std::vector<uint8_t>>;

// The queue thread from its start: the requests are all pushed, then the
// end request, and the thread serves them until it takes the end request.
trace serve(const std::vector<request>& pushed, const mends& applied);

}   // namespace reference
