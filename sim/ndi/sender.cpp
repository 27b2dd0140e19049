#include "sim/ndi/sender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace ndi_sim {

namespace {

static_assert(std::endian::native == std::endian::little, "audio samples are put on the wire as they lie in memory");

int64_t now_100ns()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * 10000000 + now.tv_nsec / 100;
}

int64_t effective_timecode(int64_t timecode)
{
    return timecode == NDIlib_send_timecode_synthesize ? now_100ns() : timecode;
}

std::string metadata_text(const NDIlib_metadata_frame_t& metadata)
{
    if (metadata.p_data == nullptr)
        return {};
    if (metadata.length <= 0)
        return metadata.p_data;
    return std::string(metadata.p_data, strnlen(metadata.p_data, size_t(metadata.length)));
}

message_ptr make_message(ndi_wire::message_type type, std::vector<uint8_t> body)
{
    return std::make_shared<const outgoing_message>(outgoing_message{type, std::move(body)});
}

}   // namespace

std::unique_ptr<sender> sender::create(const NDIlib_send_create_t& settings, const char* configuration)
{
    std::string error;
    auto config = sender_config::from(configuration, error);
    if (!config) {
        std::fprintf(stderr, "ndi stand-in: %s\n", error.c_str());
        return nullptr;
    }
    std::unique_ptr<send_log> call_log;
    if (!config->send_log.empty() && !(call_log = send_log::open(config->send_log, error))) {
        std::fprintf(stderr, "ndi stand-in: %s\n", error.c_str());
        return nullptr;
    }

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(config->port);
    inet_pton(AF_INET, config->address.c_str(), &address.sin_addr);

    file_descriptor fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int one = 1;
    if (!fd || setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd.get(), 16) != 0) {
        std::fprintf(stderr, "ndi stand-in: cannot listen on %s:%u: %s\n", config->address.c_str(),
                     unsigned(config->port), std::strerror(errno));
        return nullptr;
    }

    socklen_t length = sizeof address;
    getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
    uint16_t port = ntohs(address.sin_port);

    file_descriptor wake(eventfd(0, EFD_CLOEXEC));
    if (!wake) {
        std::fprintf(stderr, "ndi stand-in: eventfd: %s\n", std::strerror(errno));
        return nullptr;
    }

    std::string name = settings.p_ndi_name ? settings.p_ndi_name : "";
    return std::unique_ptr<sender>(
        new sender(std::move(name), std::move(*config), std::move(fd), port, std::move(wake), std::move(call_log)));
}

sender::sender(std::string source_name, sender_config settings, file_descriptor listening_fd, uint16_t port,
               file_descriptor wake_pipe_fd, std::unique_ptr<send_log> call_log)
    : name(std::move(source_name)), config(std::move(settings)), listen_fd(std::move(listening_fd)),
      listening_port(port), wake_fd(std::move(wake_pipe_fd)), calls(std::move(call_log))
{
    intake = std::make_unique<frame_intake>([this](message_ptr message) { deliver(std::move(message)); },
                                            [this] { return receiver_count.load() > 0; });
    accept_thread = std::thread([this] {
        pthread_setname_np(pthread_self(), "ndi:accept");
        accept_receivers();
    });
    log("sender \"" + this->name + "\" listening on " + this->config.address + ":" + std::to_string(port));
}

sender::~sender()
{
    stopping = true;
    uint64_t one = 1;
    (void)!write(wake_fd.get(), &one, sizeof one);
    accept_thread.join();

    // Pictures still borrowed from the program are taken in before the
    // instance goes, then every receiver gets a short while to read them.
    intake.reset();

    std::vector<std::unique_ptr<receiver_connection>> leaving;
    {
        std::lock_guard lock(receivers_mutex);
        leaving.swap(receivers);
        receiver_count = 0;
    }
    auto deadline = std::chrono::steady_clock::now() + drain_time;
    for (auto& connection : leaving)
        connection->close(deadline);
    leaving.clear();
}

void sender::add_connection_metadata(const NDIlib_metadata_frame_t& metadata)
{
    auto message = make_message(ndi_wire::message_type::connection_metadata,
                                ndi_wire::text_body(effective_timecode(metadata.timecode), metadata_text(metadata)));
    std::lock_guard lock(receivers_mutex);
    connection_metadata.push_back(message);
    for (auto& connection : receivers)
        connection->send(message);
}

int sender::target_frame_size(const NDIlib_video_frame_v2_t& frame) const
{
    return target_frame_bytes(frame, config.full_mbps);
}

int sender::q_factor(const NDIlib_video_frame_v2_t& frame) const
{
    rate_control* control = stream_control(uint32_t(frame.FourCC));
    return control ? control->q() : -1;
}

void sender::send_video(const NDIlib_video_frame_v2_t* frame)
{
    if (calls && frame != nullptr)
        calls->record(send_log::now_ns(), uint32_t(frame->FourCC), effective_timecode(frame->timecode),
                      frame->data_size_in_bytes, int32_t(frame->frame_format_type));
    bool usable = frame != nullptr && frame->p_data != nullptr && frame->data_size_in_bytes > 0 &&
        size_t(frame->data_size_in_bytes) <= ndi_wire::max_sender_body - ndi_wire::video_fields::size;
    if (!usable) {
        // Still a video call: what was borrowed before is given back.
        intake->flush();
        return;
    }

    if (rate_control* control = stream_control(uint32_t(frame->FourCC)))
        control->observe(frame->data_size_in_bytes, target_frame_bytes(*frame, config.full_mbps));

    intake->submit_video(*frame, effective_timecode(frame->timecode));
}

void sender::send_audio(const NDIlib_audio_frame_interleaved_32s_t& frame)
{
    if (calls)
        calls->record(send_log::now_ns(), send_log::audio, effective_timecode(frame.timecode),
                      int64_t(frame.no_channels) * frame.no_samples * int64_t(sizeof(int32_t)), 0);
    if (frame.p_data == nullptr || frame.sample_rate <= 0 || frame.no_channels <= 0 ||
        frame.no_channels > max_channels || frame.no_samples <= 0)
        return;
    size_t bytes = size_t(frame.no_channels) * size_t(frame.no_samples) * sizeof(int32_t);
    if (bytes > max_audio_bytes)
        return;
    if (receiver_count.load() == 0)
        return;

    ndi_wire::audio_fields fields;
    fields.sample_rate = frame.sample_rate;
    fields.channels = frame.no_channels;
    fields.samples = frame.no_samples;
    fields.reference_level = frame.reference_level;
    fields.timecode = effective_timecode(frame.timecode);

    std::vector<uint8_t> body;
    body.reserve(ndi_wire::audio_fields::size + bytes);
    ndi_wire::writer w(body);
    ndi_wire::put_audio_fields(w, fields);
    w.bytes(frame.p_data, bytes);
    intake->submit_ready(make_message(ndi_wire::message_type::audio, std::move(body)));
}

NDIlib_frame_type_e sender::capture(NDIlib_metadata_frame_t& metadata, uint32_t timeout_ms)
{
    inbound_metadata document;
    {
        std::unique_lock lock(inbox_mutex);
        if (!inbox_filled.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return !inbox.empty(); }))
            return NDIlib_frame_type_none;
        document = std::move(inbox.front());
        inbox.pop_front();
    }
    auto* text = new char[document.text.size() + 1];
    std::memcpy(text, document.text.data(), document.text.size());
    text[document.text.size()] = '\0';
    metadata.length = int(document.text.size() + 1);
    metadata.timecode = document.timecode;
    metadata.p_data = text;
    return NDIlib_frame_type_metadata;
}

void sender::free_metadata(const NDIlib_metadata_frame_t& metadata)
{
    delete[] metadata.p_data;
}

bool sender::get_tally(NDIlib_tally_t& tally, uint32_t timeout_ms)
{
    std::unique_lock lock(receivers_mutex);
    auto differs = [this] {
        return combined_tally.on_program != reported_tally.on_program ||
            combined_tally.on_preview != reported_tally.on_preview;
    };
    if (!tally_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), differs))
        return false;
    reported_tally = combined_tally;
    tally = combined_tally;
    return true;
}

int sender::connections(uint32_t timeout_ms) const
{
    // Rarely asked with a timeout: a short poll does.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (receiver_count.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return int(receiver_count.load());
}

void sender::accept_receivers()
{
    pollfd watched[2] = {{listen_fd.get(), POLLIN, 0}, {wake_fd.get(), POLLIN, 0}};
    while (!stopping) {
        if (poll(watched, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "ndi stand-in: poll: %s\n", std::strerror(errno));
            break;
        }
        if (watched[1].revents & POLLIN) {
            uint64_t count;
            (void)!read(wake_fd.get(), &count, sizeof count);
            reap_receivers();
        }
        if (!stopping && (watched[0].revents & POLLIN)) {
            sockaddr_in peer{};
            socklen_t length = sizeof peer;
            file_descriptor fd(accept4(listen_fd.get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC));
            if (!fd)
                continue;   // the receiver gave up before we took it, or we are out of descriptors
            int one = 1;
            setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            char text[INET_ADDRSTRLEN] = "?";
            inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
            admit(std::move(fd), std::string(text) + ":" + std::to_string(ntohs(peer.sin_port)));
        }
    }
}

void sender::admit(file_descriptor socket_fd, std::string peer)
{
    receiver_events& events = *this;
    auto connection = std::make_unique<receiver_connection>(std::move(socket_fd), peer, events);

    std::vector<uint8_t> hello;
    ndi_wire::writer w(hello);
    w.u32(ndi_wire::protocol_version);
    w.bytes(name.data(), name.size());

    // Counted before the hello goes out: a receiver that has its hello may
    // rely on getting every frame sent from then on.
    std::lock_guard lock(receivers_mutex);
    receiver_connection& admitted = *connection;
    receivers.push_back(std::move(connection));
    receiver_count = receivers.size();
    admitted.send(make_message(ndi_wire::message_type::hello, std::move(hello)));
    for (auto& message : connection_metadata)
        admitted.send(message);
    update_tally_locked();
    log("receiver " + peer + " connected");
}

void sender::reap_receivers()
{
    std::vector<std::unique_ptr<receiver_connection>> gone;
    {
        std::lock_guard lock(receivers_mutex);
        for (auto it = receivers.begin(); it != receivers.end();) {
            if ((*it)->alive()) {
                ++it;
            } else {
                gone.push_back(std::move(*it));
                it = receivers.erase(it);
            }
        }
        receiver_count = receivers.size();
        update_tally_locked();
    }
    for (auto& connection : gone) {
        log("receiver " + connection->peer() + " left, " + std::to_string(connection->dropped_frames()) +
            " frames dropped for it");
        connection->close(std::chrono::steady_clock::now());
    }
}

void sender::deliver(message_ptr message)
{
    std::lock_guard lock(receivers_mutex);
    for (auto& connection : receivers)
        if (connection->alive())
            connection->send(message);
}

void sender::update_tally_locked()
{
    NDIlib_tally_t tally{};
    for (auto& connection : receivers) {
        if (!connection->alive())
            continue;
        NDIlib_tally_t one = connection->tally();
        tally.on_program = tally.on_program || one.on_program;
        tally.on_preview = tally.on_preview || one.on_preview;
    }
    if (tally.on_program != combined_tally.on_program || tally.on_preview != combined_tally.on_preview) {
        combined_tally = tally;
        tally_changed.notify_all();
    }
}

rate_control* sender::stream_control(uint32_t fourcc) const
{
    switch (stream_of(fourcc)) {
    case speedhq_stream::full: return &full_control;
    case speedhq_stream::preview: return &preview_control;
    case speedhq_stream::none: break;
    }
    return nullptr;
}

void sender::log(const std::string& line) const
{
    if (config.verbose)
        std::fprintf(stderr, "ndi stand-in: %s\n", line.c_str());
}

void sender::receiver_metadata(int64_t timecode, std::string text)
{
    {
        std::lock_guard lock(inbox_mutex);
        inbox.push_back({timecode, std::move(text)});
        while (inbox.size() > max_inbox)
            inbox.pop_front();
    }
    inbox_filled.notify_one();
}

void sender::receiver_tally_changed()
{
    std::lock_guard lock(receivers_mutex);
    update_tally_locked();
}

void sender::receiver_closed(receiver_connection&)
{
    {
        std::lock_guard lock(receivers_mutex);
        update_tally_locked();
    }
    uint64_t one = 1;
    (void)!write(wake_fd.get(), &one, sizeof one);
}

}   // namespace ndi_sim
