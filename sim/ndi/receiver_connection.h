// One connected receiver: its socket, a bounded queue of messages to write,
// a writer thread that drains the queue and a reader thread that takes the
// receiver's metadata and tally.
//
// The queue is what keeps a slow receiver from holding up the sender: send()
// only appends under a short lock. When the queue is over its bound the
// oldest media frames are dropped whole (never the hello or connection
// metadata), counted, and the count rides on the next media frame this
// receiver gets.
//
// Threads: send() and tally() are called by the sender's threads; the
// writer thread ("ndi:tx") owns the socket's sending side, the reader thread
// ("ndi:rx") its receiving side. mutex guards queue, queued_bytes,
// pending_drops and stopping. close() runs on the sender's accept thread or
// in its destructor, once; the socket is closed only after both threads
// have been joined.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/file_descriptor.h"
#include "ndi/ndi_lib.h"
#include "sim/ndi/wire.h"

namespace ndi_sim {

// A message ready to go out, shared by the queues of all receivers.
struct outgoing_message {
    ndi_wire::message_type type;
    std::vector<uint8_t> body;
};
using message_ptr = std::shared_ptr<const outgoing_message>;

class receiver_connection;

// What a connection tells its sender. Called on the connection's reader
// thread, with no lock of the connection held.
class receiver_events {
public:
    virtual void receiver_metadata(int64_t timecode, std::string text) = 0;
    virtual void receiver_tally_changed() = 0;
    virtual void receiver_closed(receiver_connection& connection) = 0;

protected:
    ~receiver_events() = default;
};

class receiver_connection {
public:
    static constexpr size_t max_queued_frames = 64;
    static constexpr size_t max_queued_bytes = 32u << 20;

    // Takes ownership of the connected socket and starts both threads.
    receiver_connection(file_descriptor socket_fd, std::string peer, receiver_events& events);
    ~receiver_connection();

    receiver_connection(const receiver_connection&) = delete;
    receiver_connection& operator=(const receiver_connection&) = delete;

    // Queues a message; never waits for the network.
    void send(message_ptr message);

    // Lets the writer flush what is queued until drain_deadline, then cuts
    // the connection and joins both threads.
    void close(std::chrono::steady_clock::time_point drain_deadline);

    // False once the receiver went away or the connection failed.
    bool alive() const { return !ended.load(); }

    NDIlib_tally_t tally() const;
    uint64_t dropped_frames() const { return total_drops.load(); }
    const std::string& peer() const { return peer_name; }

private:
    void write_messages();
    void read_messages();
    bool write_message(const outgoing_message& message, uint32_t dropped);
    bool read_exactly(uint8_t* data, size_t size);
    void end();

    const file_descriptor fd;
    const std::string peer_name;
    receiver_events& events;

    std::mutex mutex;
    std::condition_variable wake_writer;
    std::condition_variable writer_finished;
    std::deque<message_ptr> queue;
    size_t queued_bytes = 0;
    size_t queued_frames = 0;
    uint32_t pending_drops = 0;
    bool stopping = false;
    bool writer_done = false;

    std::atomic<bool> ended{false};
    std::atomic<uint64_t> total_drops{0};
    std::atomic<bool> on_program{false};
    std::atomic<bool> on_preview{false};

    std::thread writer;
    std::thread reader;
};

}   // namespace ndi_sim
