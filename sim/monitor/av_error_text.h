// FFmpeg's text for one of its error codes, for the monitor's messages.
#pragma once

extern "C" {
#include <libavutil/error.h>
}

#include <string>

namespace ndi_monitor {

inline std::string av_error_text(int error)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = "";
    av_strerror(error, text, sizeof text);
    return text;
}

}   // namespace ndi_monitor
