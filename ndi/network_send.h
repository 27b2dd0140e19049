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
// last_full_frame is touched only by "send_full" (through send_video), and
// last_preview_frame only by "send_prvw". last_tally is written by the one
// thread that waits for the tally ("tallyPTZ") and read by any.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "ndi/coded_picture.h"
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

    // Hands one coded picture to the runtime's asynchronous video send, on
    // the preview stream when preview is 1, else on the full stream. The
    // runtime reads the bytes after the call returns, so the stream's slot
    // keeps the picture until the next one of the stream has been handed
    // over; the last of each stream stays until the sender is destroyed.
    // Called only by the stream's own send thread.
    void send_video(std::shared_ptr<coded_picture> frame, int preview);

    // Receivers connected now.
    int receivers() const;

    // The runtime's tally wait: true when the tally changed since the last
    // call, or changes within the timeout; the record then holds it. The
    // runtime reports a change once, so exactly one thread waits here; the
    // state it was last given is kept for everyone else in tally().
    bool get_tally(NDIlib_tally_t& tally, uint32_t timeout_ms);
    NDIlib_tally_t tally() const;

    // The record send_video hands to the runtime for a picture.
    static NDIlib_video_frame_v2_t video_record(const coded_picture& frame);

private:
    NDIlib_send_instance_t instance = nullptr;
    // Released after the sender is destroyed (members go after the
    // destructor's body), once the runtime has taken in what is pending.
    std::shared_ptr<coded_picture> last_preview_frame;
    std::shared_ptr<coded_picture> last_full_frame;
    std::atomic<uint8_t> last_tally{0};   // bit 0 on program, bit 1 on preview
};
