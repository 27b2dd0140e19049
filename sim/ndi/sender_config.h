// Where the stand-in sender listens, from the configuration text given to
// NDIlib_send_create_v2 and the environment.
//
// Configuration text (JSON; NULL or empty for the defaults; unknown members
// are ignored so that a text written for the board's runtime still works):
//   {"tcp":{"port":5960,"address":"0.0.0.0"}}
// Environment, overriding the text so that a person can move the sender
// without touching the program:
//   NDI_SIM_PORT      TCP port (0: any free port)
//   NDI_SIM_ADDRESS   IPv4 address to listen on (0.0.0.0: every address)
//   NDI_SIM_VERBOSE   1: report listening and receivers on standard error
//   NDI_SIM_SEND_LOG  a file to write the program's send calls to (send_log.h)
//   NDI_SIM_BITRATE   the rate control's target in Mbit/s for a 4:2:2 1080p60
//                     full stream (default 140; other sizes and rates scale)
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ndi_sim {

struct sender_config {
    std::string address = "0.0.0.0";
    uint16_t port = 5960;
    bool verbose = false;
    std::string send_log;     // empty: none
    double full_mbps = 140;   // NDI_SIM_BITRATE

    // Empty, with the reason in error, when the text or the environment
    // holds something unusable.
    static std::optional<sender_config> from(const char* configuration_text, std::string& error);
};

}   // namespace ndi_sim
