// The camera-control service. A camera's control processor sits on the
// serial line /dev/ttyS1 and speaks VISCA; the service feeds it from three
// sources and carries its replies back:
//
//   "ndiPTZ"    PTZ metadata from NDI receivers -> requests (ptz/metadata_interpreter.h)
//   "viscaPTZ"  VISCA over IP from the network (UDP 52381) and from local
//               processes (127.0.0.1:52385) -> the line, the camera's
//               replies -> back to their sender, and the network-settings
//               responder on UDP 52380 (ptz/visca_bridge.h)
//   "tallyPTZ"  the NDI tally -> the camera's tally lamp
//   "queuePTZ"  requests -> VISCA commands, paced (ptz/command_queue.h)
//
// main makes one, after network_send and before the media paths, and
// releases it before network_send.
//
// Threads: the constructor and destructor run on main. stop is set once by
// the destructor and polled by "ndiPTZ", "viscaPTZ" and "tallyPTZ";
// "queuePTZ" ends on the stop_queue request instead. serial_mutex guards
// serial, which "viscaPTZ" sets when it has opened the line and clears
// before it closes it; every write to the line and its drain happen under
// it, so messages never interleave. It is never held with the ring's lock.
// The counters and commands_from_outside are relaxed atomics: each is
// counted by the threads that see what it counts and read by anyone.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "ndi/network_send.h"
#include "ptz/network_identity.h"
#include "ptz/ptz_request.h"
#include "ptz/request_ring.h"
#include "ptz/visca_encoder.h"

class serial_line;
class udp_socket;
struct bridge_links;
struct udp_endpoint;

class ptz {
public:
    // Reads the identity of eth0, starts the four threads and waits until
    // "viscaPTZ" has opened the serial line and its sockets. A link that
    // cannot be opened stops the threads again and throws its
    // std::runtime_error ("Cannot open UART /dev/ttyS1!", "Cannot bind UDP
    // socket!", ...), so that start-up ends with that message.
    ptz(std::shared_ptr<network_send> sender, const char* version);
    ~ptz();

    ptz(const ptz&) = delete;
    ptz& operator=(const ptz&) = delete;

    // Queues a request for "queuePTZ" (dropping the oldest of 63 waiting).
    void push_request(const ptz_request& request);

    // Writes the service's tag and message (at most max_message bytes) to
    // the line and drains it. -1, writing nothing, while the line is not
    // open; else the write's result.
    static constexpr size_t max_message = 24;
    int send_serial(const uint8_t* message, size_t length);
    int send_serial(const visca_message& message) { return send_serial(message.data(), message.size); }

    // What the camera link has done since the service was made.
    struct counters_t {
        uint64_t commands_written = 0;    // VISCA messages written whole to the line, own and forwarded
        uint64_t replies_routed = 0;      // camera replies sent on to the LAN or to local processes
        uint64_t datagrams_refused = 0;   // datagrams from others on the VISCA, loop and discovery
                                          // sockets that were ignored or over the answer rate
    };
    counters_t counters() const;

private:
    void ndi_thread();
    void visca_thread();
    void tally_thread();
    void queue_thread();

    // "viscaPTZ": one loop that hands each ready link to its handler.
    void serve_links(bridge_links& links);
    bool route_camera_replies(bridge_links& links);
    void bridge_datagram(bridge_links& links, udp_socket& socket, uint8_t camera);
    void answer_network_settings(bridge_links& links);
    void forward_camera_reply(bridge_links& links, const uint8_t* packet, size_t size,
                              const std::array<uint8_t, 4>& asked);
    void send_reply(udp_socket& socket, const udp_endpoint& to, const uint8_t* packet, size_t n);
    void count_refused();
    int write_serial(const uint8_t* data, size_t n);
    void stop_threads();

    const network_identity network;
    const std::shared_ptr<network_send> sender;
    std::thread ndi;
    std::thread visca;
    std::thread tally;
    std::thread queue;
    std::atomic<bool> stop{false};
    request_ring requests;
    std::mutex serial_mutex;
    serial_line* serial = nullptr;   // guarded by serial_mutex; owned by "viscaPTZ"
    std::promise<void> links_opened;

    std::atomic<uint64_t> commands_written{0};    // "queuePTZ", "tallyPTZ", "viscaPTZ"
    std::atomic<uint64_t> replies_routed{0};      // "viscaPTZ"
    std::atomic<uint64_t> datagrams_refused{0};   // "viscaPTZ"
    // Forwarded commands that may have changed the camera's modes: "queuePTZ"
    // then forgets the modes it last sent.
    std::atomic<uint32_t> commands_from_outside{0};
};
