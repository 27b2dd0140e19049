// The one NDI sender of the program.
//
// network_send owns the NDI runtime and the single send instance through
// which everything is published (full and preview video, audio) and through
// which tally and PTZ metadata come back. It is made once by main, right
// after hardware, and held by shared ownership by every user, so it outlives
// every thread that calls into its instance.
//
// Threads: the instance is used concurrently by the video send threads,
// "audcomp", "tallyPTZ" and "ndiPTZ", each with its own runtime call; the
// runtime is thread-safe for sender calls and this class adds no lock.
#pragma once

#include "ndi/ndi_lib.h"

// Builds the connection-capabilities element announced to every receiver,
// e.g. <ndi_capabilities qrn_ptz="true" web_control="http://192.168.5.20"/>,
// into the caller's buffer of capabilities_size bytes. Returns 0, or -1 when
// no datagram socket could be made for the address query; in both cases the
// buffer holds a well-formed element (see network_send.cpp).
constexpr int capabilities_size = 100;
int make_capabilities(bool ptz_enabled, char* buffer);

// The configuration text main gives the runtime: a JSON object
//   {"tcp":{"port":5960,"address":"0.0.0.0"}}
// "port" is the TCP port receivers connect to (the runtime's well-known
// 5960), "address" the IPv4 address to serve, 0.0.0.0 meaning every address
// of the board (eth0 and loopback).
const char* ndi_configuration();

class network_send {
public:
    // Starts the runtime and makes the sender named source_name, then adds
    // the capabilities text as connection metadata. Throws
    // std::runtime_error "Cannot run NDI!" or "Cannot create NDI sender!".
    network_send(const char* configuration, const char* capabilities, const char* source_name);
    ~network_send();

    network_send(const network_send&) = delete;
    network_send& operator=(const network_send&) = delete;

    // Never null in a constructed object.
    NDIlib_send_instance_t sender() const { return instance; }

private:
    NDIlib_send_instance_t instance = nullptr;
};
