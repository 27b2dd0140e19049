// The PTZ metadata that NDI receivers send: one small XML document per
// command, such as <qrn_ptz_pan_tilt_speed pan_speed="0.5" tilt_speed="0"/>.
// A pure function, so that a fuzzer can call it as "ndiPTZ" does.
#pragma once

#include <cstddef>
#include <optional>

#include "ptz/ptz_request.h"

// Bounds no real PTZ document reaches: the longest, a manual white balance
// with both gains written out in full behind a byte-order mark and an XML
// declaration, has about 150 bytes, and every one is a single element.
// Beyond them a document is refused before it is parsed: rapidxml recurses
// once per level, so depth is what a receiver could use to end the program.
constexpr size_t max_metadata_length = 1024;   // bytes, without the NUL
constexpr int max_metadata_depth = 4;          // elements inside elements

// Parses text (NUL-terminated; parsed in place, so it is changed) and
// returns the request its first element asks for: code 0 for an element
// that is not a command or is out of range. Nothing when the text is not
// well-formed XML, holds no element, or is longer or deeper than the
// bounds (logged at the dropped-data level).
std::optional<ptz_request> interpret_metadata(char* text);

// Whether the elements of text nest deeper than limit into contents (an
// element written "<a/>" has none), counted as rapidxml meets them:
// comments, declarations, processing instructions, CDATA, document types and
// other "<!" nodes skipped as it skips them, quoted attribute values passed
// over.
bool nested_deeper_than(const char* text, int limit);
