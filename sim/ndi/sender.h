// One stand-in NDI sender: a TCP server that publishes the frames it is
// given to every connected receiver and brings back their metadata and
// tally. The NDI functions in ndi_api.cpp are thin calls onto this class.
//
// Threads:
//   "ndi:accept"  accepts receivers and reaps those that went away;
//   "ndi:intake"  (frame_intake) hands frames to the receivers' queues;
//   per receiver  "ndi:tx" and "ndi:rx" (receiver_connection).
// The program calls in from its own threads, concurrently.
// receivers_mutex guards receivers, connection_metadata, combined_tally and
// reported_tally; inbox_mutex guards inbox. Lock order: receivers_mutex,
// then a connection's own lock; inbox_mutex is taken alone.
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
#include "sim/ndi/frame_intake.h"
#include "sim/ndi/rate_control.h"
#include "sim/ndi/receiver_connection.h"
#include "sim/ndi/send_log.h"
#include "sim/ndi/sender_config.h"

namespace ndi_sim {

class sender final : private receiver_events {
public:
    static constexpr size_t max_inbox = 256;   // metadata documents waiting for capture
    static constexpr int max_channels = 64;
    static constexpr size_t max_audio_bytes = 16u << 20;
    static constexpr auto drain_time = std::chrono::milliseconds(500);

    // Null, with the reason written to standard error, when the sender
    // cannot listen (bad configuration, port in use).
    static std::unique_ptr<sender> create(const NDIlib_send_create_t& settings, const char* configuration);
    ~sender();

    void add_connection_metadata(const NDIlib_metadata_frame_t& metadata);
    int target_frame_size(const NDIlib_video_frame_v2_t& frame) const;
    int q_factor(const NDIlib_video_frame_v2_t& frame) const;
    void send_video(const NDIlib_video_frame_v2_t* frame);   // null: finish the pending pictures
    void send_audio(const NDIlib_audio_frame_interleaved_32s_t& frame);
    NDIlib_frame_type_e capture(NDIlib_metadata_frame_t& metadata, uint32_t timeout_ms);
    static void free_metadata(const NDIlib_metadata_frame_t& metadata);
    bool get_tally(NDIlib_tally_t& tally, uint32_t timeout_ms);
    int connections(uint32_t timeout_ms) const;

    uint16_t port() const { return listening_port; }

private:
    struct inbound_metadata {
        int64_t timecode;
        std::string text;
    };

    sender(std::string name, sender_config config, file_descriptor listen_fd, uint16_t port, file_descriptor wake_fd,
           std::unique_ptr<send_log> call_log);

    void accept_receivers();
    void admit(file_descriptor socket_fd, std::string peer);
    void reap_receivers();
    void deliver(message_ptr message);
    void update_tally_locked();
    rate_control* stream_control(uint32_t fourcc) const;
    void log(const std::string& line) const;

    void receiver_metadata(int64_t timecode, std::string text) override;
    void receiver_tally_changed() override;
    void receiver_closed(receiver_connection& connection) override;

    const std::string name;
    const sender_config config;
    const file_descriptor listen_fd;
    const uint16_t listening_port;
    const file_descriptor wake_fd;   // eventfd: a receiver ended, or we are stopping
    std::atomic<bool> stopping{false};
    std::atomic<size_t> receiver_count{0};

    std::mutex receivers_mutex;
    std::condition_variable tally_changed;
    std::vector<std::unique_ptr<receiver_connection>> receivers;
    std::vector<message_ptr> connection_metadata;
    NDIlib_tally_t combined_tally{};
    NDIlib_tally_t reported_tally{};

    std::mutex inbox_mutex;
    std::condition_variable inbox_filled;
    std::deque<inbound_metadata> inbox;

    // The loops of the two SpeedHQ streams; each locks itself.
    mutable rate_control full_control;
    mutable rate_control preview_control;

    std::unique_ptr<frame_intake> intake;
    std::thread accept_thread;
    const std::unique_ptr<send_log> calls;   // NDI_SIM_SEND_LOG, else null
};

}   // namespace ndi_sim
