#include "ptz/ptz.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "base/debug_log.h"
#include "base/utilities.h"
#include "ptz/command_queue.h"
#include "ptz/metadata_interpreter.h"
#include "ptz/packet_splitter.h"
#include "ptz/reply_limiter.h"
#include "ptz/serial_line.h"
#include "ptz/serial_tag.h"
#include "ptz/udp_socket.h"
#include "ptz/visca_bridge.h"

// The links "viscaPTZ" opens when it starts, in this order, and closes
// when it ends, with what it keeps between two waits.
struct bridge_links {
    serial_line line;       // the camera
    udp_socket discovery;   // network-settings enquiries and their answers
    udp_socket visca;       // VISCA over IP from the network
    udp_socket reply;       // replies and acknowledgements to the network, from an ephemeral port
    udp_socket loop;        // VISCA over IP from local processes, and their replies

    packet_splitter splitter{};   // the camera's replies, and the tags written that await one
    discovery_budget settings_answers{};
};

namespace {

constexpr std::chrono::milliseconds metadata_wait{200};
constexpr std::chrono::milliseconds tally_wait{500};
constexpr std::chrono::microseconds select_wait{200000};
constexpr size_t receive_size = 1000;
constexpr uint8_t network_camera = 0x81;
constexpr uint8_t local_camera = 0x82;
constexpr std::array<uint8_t, 4> loopback{127, 0, 0, 1};
constexpr std::array<uint8_t, 4> broadcast{255, 255, 255, 255};

}   // namespace

ptz::ptz(std::shared_ptr<network_send> sender_, const char* version)
    : network(read_network_identity(version)), sender(std::move(sender_))
{
    debug_print(3, "ptz Constructor\n");
    std::future<void> opened = links_opened.get_future();
    ndi = std::thread(&ptz::ndi_thread, this);
    visca = std::thread(&ptz::visca_thread, this);
    tally = std::thread(&ptz::tally_thread, this);
    queue = std::thread(&ptz::queue_thread, this);
    try {
        opened.get();
    } catch (...) {
        stop_threads();
        throw;
    }
}

ptz::~ptz()
{
    debug_print(3, "ptz Destructor\n");
    stop_threads();
}

void ptz::stop_threads()
{
    stop = true;
    ndi.join();
    visca.join();   // closes the line and the sockets
    tally.join();
    // Requests queued before this one are still worked through; the line
    // is closed by now, so they reach no camera.
    requests.push(ptz_request{ptz_code::stop_queue, 0.0f, 0.0f});
    queue.join();
}

void ptz::push_request(const ptz_request& request)
{
    requests.push(request);
}

int ptz::send_serial(const uint8_t* message, size_t length)
{
    if (length > max_message)
        return -1;
    uint8_t buffer[serial_tag::size + max_message];
    std::memcpy(buffer, service_tag.bytes.data(), serial_tag::size);
    std::memcpy(buffer + serial_tag::size, message, length);
    return write_serial(buffer, serial_tag::size + length);
}

int ptz::write_serial(const uint8_t* data, size_t n)
{
    std::lock_guard<std::mutex> lock(serial_mutex);
    if (!serial)
        return -1;
    const ssize_t written = serial->write_drained(data, n);
    if (written == ssize_t(n))
        commands_written.fetch_add(1, std::memory_order_relaxed);
    return int(written);
}

ptz::counters_t ptz::counters() const
{
    return {commands_written.load(std::memory_order_relaxed), replies_routed.load(std::memory_order_relaxed),
            datagrams_refused.load(std::memory_order_relaxed)};
}

void ptz::ndi_thread()
{
    set_thread_name("ndiPTZ");
    NDIlib_metadata_frame_t frame{};
    frame.timecode = NDIlib_send_timecode_synthesize;
    std::vector<char> text;   // rapidxml parses in place: never the runtime's buffer
    while (!stop) {
        if (NDIlib_send_capture(sender->sender(), &frame, uint32_t(metadata_wait.count())) !=
            NDIlib_frame_type_metadata)
            continue;
        if (!frame.p_data) {
            NDIlib_send_free_metadata(sender->sender(), &frame);
            continue;
        }
        // Never more than the interpreter takes: a longer document is
        // measured only as far as the bound, then refused by it.
        size_t limit = max_metadata_length + 1;
        if (frame.length > 0)
            limit = std::min(limit, size_t(frame.length));
        const size_t length = strnlen(frame.p_data, limit);
        text.assign(frame.p_data, frame.p_data + length);
        text.push_back('\0');
        NDIlib_send_free_metadata(sender->sender(), &frame);
        if (const auto request = interpret_metadata(text.data()))
            push_request(*request);
    }
}

void ptz::visca_thread()
{
    set_thread_name("viscaPTZ");
    std::unique_ptr<bridge_links> links;
    try {
        const std::string uart = platform_path("/dev/ttyS1");
        links.reset(new bridge_links{
            open_uart(uart.c_str()),
            open_udp_socket(visca_port::discovery, true),
            open_udp_socket(visca_port::visca, true),
            open_udp_socket(0, false),
            open_loop_socket(visca_port::loop),
        });
    } catch (...) {
        links_opened.set_exception(std::current_exception());
        return;
    }
    {
        std::lock_guard<std::mutex> lock(serial_mutex);
        serial = &links->line;
    }
    links_opened.set_value();

    serve_links(*links);

    std::lock_guard<std::mutex> lock(serial_mutex);
    serial = nullptr;
}

void ptz::serve_links(bridge_links& links)
{
    // A line that has hung up (the camera gone) reads as ready at once:
    // after a failed read it sits out one wait, so the thread does not spin.
    bool watch_line = true;
    while (!stop) {
        const int fds[4] = {watch_line ? links.line.fd() : -1, links.discovery.fd(), links.visca.fd(), links.loop.fd()};
        bool ready[4] = {};
        watch_line = true;
        if (!wait_readable(fds, ready, select_wait))
            continue;
        if (ready[0])
            watch_line = route_camera_replies(links);
        if (ready[2])
            bridge_datagram(links, links.visca, network_camera);
        if (ready[3])
            bridge_datagram(links, links.loop, local_camera);
        if (ready[1])
            answer_network_settings(links);
    }
}

// Reads the line and sends each reply cut from it to whoever sent its
// command; false when the read failed.
bool ptz::route_camera_replies(bridge_links& links)
{
    uint8_t buffer[receive_size] = {};
    const ssize_t got = links.line.read_some(buffer, sizeof buffer);
    const auto now = packet_splitter::clock::now();
    links.splitter.feed(buffer, long(got), now,
                        [&](const uint8_t* packet, size_t size, const packet_splitter::address& asked) {
                            forward_camera_reply(links, packet, size, asked);
                        });
    return got >= 0;
}

// One datagram from the VISCA socket (camera 0x81) or the loop socket
// (0x82): acknowledged, forwarded to the camera behind its tag, or refused.
void ptz::bridge_datagram(bridge_links& links, udp_socket& socket, uint8_t camera)
{
    uint8_t buffer[receive_size];
    udp_endpoint from;
    const ssize_t n = socket.receive(buffer, sizeof buffer, from);
    // The device's own datagrams (its broadcasts come back to it) are
    // never answered: answering them would never end.
    if (n <= 0 || from.address == network.ip_address)
        return;
    switch (classify_command(buffer, size_t(n), camera)) {
    case command_action::acknowledge: {
        uint8_t ack[control_ack_size];
        const size_t size = make_control_ack(ack);
        // A local process listens on the loop reply port: the eth0-bound
        // reply socket could never reach it on 127.0.0.1.
        if (&socket == &links.loop)
            links.loop.send_to(ack, size, {loopback, visca_port::loop_reply});
        else
            links.reply.send_to(ack, size, {from.address, visca_port::visca});
        break;
    }
    case command_action::forward: {
        if (may_change_camera_modes(buffer + visca_ip_header, size_t(n) - visca_ip_header))
            commands_from_outside.fetch_add(1, std::memory_order_relaxed);
        tag_command(buffer, from.address);
        serial_tag tag;
        std::memcpy(tag.bytes.data(), buffer, serial_tag::size);
        // Awaited before it is written, so that no answer can come first.
        links.splitter.expect(tag, from.address, packet_splitter::clock::now());
        write_serial(buffer, size_t(n));
        break;
    }
    case command_action::ignore: count_refused(); break;
    }
}

// One datagram on the discovery port: the network-settings reply or the
// NAK, broadcast to the sender's port, each within its own budget.
void ptz::answer_network_settings(bridge_links& links)
{
    uint8_t buffer[receive_size];
    udp_endpoint from;
    const ssize_t n = links.discovery.receive(buffer, sizeof buffer, from);
    if (n <= 0 || from.address == network.ip_address)
        return;
    const settings_answer answer = answer_for(buffer, size_t(n));
    if (answer == settings_answer::none ||
        !links.settings_answers.allow(answer == settings_answer::reply, discovery_budget::clock::now())) {
        count_refused();
        return;
    }
    uint8_t out[network_reply_capacity];
    size_t size;
    if (answer == settings_answer::reply) {
        char host_name[sizeof network.host_name];
        read_host_name(host_name, sizeof host_name);
        size = make_network_reply(network, host_name, out);
    } else {
        size = make_nak_reply(network, out);
    }
    links.discovery.send_to(out, size, {broadcast, from.port});
}

// A reply cut from the line: to the controller that asked, to the local
// processes, or nowhere.
void ptz::forward_camera_reply(bridge_links& links, const uint8_t* packet, size_t size,
                               const std::array<uint8_t, 4>& asked)
{
    switch (route_reply(packet, size, asked)) {
    case reply_route::network: send_reply(links.reply, {asked, visca_port::visca}, packet, size); break;
    case reply_route::loop: send_reply(links.loop, {loopback, visca_port::loop_reply}, packet, size); break;
    case reply_route::drop: break;
    }
}

void ptz::send_reply(udp_socket& socket, const udp_endpoint& to, const uint8_t* packet, size_t n)
{
    uint8_t datagram[reply_datagram_capacity];
    const size_t size = make_reply_datagram(packet, n, datagram);
    if (socket.send_to(datagram, size, to) == ssize_t(size))
        replies_routed.fetch_add(1, std::memory_order_relaxed);
}

void ptz::count_refused()
{
    datagrams_refused.fetch_add(1, std::memory_order_relaxed);
}

void ptz::tally_thread()
{
    set_thread_name("tallyPTZ");
    NDIlib_tally_t tally_state{};
    while (!stop) {
        if (sender->get_tally(tally_state, uint32_t(tally_wait.count())))
            send_serial(visca_tally(tally_state.on_program || tally_state.on_preview));
    }
}

void ptz::queue_thread()
{
    set_thread_name("queuePTZ");
    command_queue commands([this](const visca_message& m) { return send_serial(m); }, command_pause);
    commands.run(requests, commands_from_outside);
}
