// The PTZ metadata that NDI receivers send: one small XML document per
// command, such as <qrn_ptz_pan_tilt_speed pan_speed="0.5" tilt_speed="0"/>.
// A pure function, so that a fuzzer can call it as "ndiPTZ" does.
#pragma once

#include <optional>

#include "ptz/ptz_request.h"

// Parses text (NUL-terminated; parsed in place, so it is changed) and
// returns the request its first element asks for: code 0 for an element
// that is not a command or is out of range. Nothing when the text is not
// well-formed XML or holds no element.
std::optional<ptz_request> interpret_metadata(char* text);
