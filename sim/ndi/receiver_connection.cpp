#include "sim/ndi/receiver_connection.h"

#include <pthread.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace ndi_sim {

receiver_connection::receiver_connection(file_descriptor socket_fd, std::string peer, receiver_events& listener)
    : fd(std::move(socket_fd)), peer_name(std::move(peer)), events(listener)
{
    writer = std::thread([this] {
        pthread_setname_np(pthread_self(), "ndi:tx");
        write_messages();
    });
    reader = std::thread([this] {
        pthread_setname_np(pthread_self(), "ndi:rx");
        read_messages();
    });
}

receiver_connection::~receiver_connection()
{
    close(std::chrono::steady_clock::now());
}

void receiver_connection::send(message_ptr message)
{
    bool media = ndi_wire::is_media(message->type);
    {
        std::lock_guard lock(mutex);
        if (stopping || ended)
            return;
        queued_bytes += message->body.size();
        queued_frames += media ? 1 : 0;
        queue.push_back(std::move(message));

        while (queued_frames > max_queued_frames || queued_bytes > max_queued_bytes) {
            auto oldest = queue.begin();
            while (oldest != queue.end() && !ndi_wire::is_media((*oldest)->type))
                ++oldest;
            if (oldest == queue.end())
                break;
            queued_bytes -= (*oldest)->body.size();
            --queued_frames;
            queue.erase(oldest);
            ++pending_drops;
            ++total_drops;
        }
    }
    wake_writer.notify_one();
}

void receiver_connection::close(std::chrono::steady_clock::time_point drain_deadline)
{
    {
        std::unique_lock lock(mutex);
        stopping = true;
        wake_writer.notify_one();
        writer_finished.wait_until(lock, drain_deadline, [this] { return writer_done; });
    }
    end();
    if (writer.joinable())
        writer.join();
    if (reader.joinable())
        reader.join();
}

NDIlib_tally_t receiver_connection::tally() const
{
    NDIlib_tally_t tally{};
    tally.on_program = on_program.load();
    tally.on_preview = on_preview.load();
    return tally;
}

void receiver_connection::end()
{
    if (!ended.exchange(true))
        shutdown(fd.get(), SHUT_RDWR);
    wake_writer.notify_one();
}

void receiver_connection::write_messages()
{
    for (;;) {
        message_ptr message;
        uint32_t dropped = 0;
        {
            std::unique_lock lock(mutex);
            wake_writer.wait(lock, [this] { return !queue.empty() || stopping || ended; });
            if (queue.empty() || ended)
                break;
            message = std::move(queue.front());
            queue.pop_front();
            queued_bytes -= message->body.size();
            if (ndi_wire::is_media(message->type)) {
                --queued_frames;
                dropped = pending_drops;
                pending_drops = 0;
            }
        }
        if (!write_message(*message, dropped)) {
            end();
            break;
        }
    }
    std::lock_guard lock(mutex);
    queue.clear();
    writer_done = true;
    writer_finished.notify_all();
}

bool receiver_connection::write_message(const outgoing_message& message, uint32_t dropped)
{
    uint8_t head[ndi_wire::header_size];
    ndi_wire::encode_header({message.type, uint32_t(message.body.size()), dropped}, head);

    iovec parts[2] = {
        {head, sizeof head},
        {const_cast<uint8_t*>(message.body.data()), message.body.size()},
    };
    iovec* part = parts;
    int count = message.body.empty() ? 1 : 2;
    while (count > 0) {
        msghdr header{};
        header.msg_iov = part;
        header.msg_iovlen = size_t(count);
        ssize_t written = sendmsg(fd.get(), &header, MSG_NOSIGNAL);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        size_t left = size_t(written);
        while (count > 0 && left >= part->iov_len) {
            left -= part->iov_len;
            ++part;
            --count;
        }
        if (count > 0) {
            part->iov_base = static_cast<uint8_t*>(part->iov_base) + left;
            part->iov_len -= left;
        }
    }
    return true;
}

bool receiver_connection::read_exactly(uint8_t* data, size_t size)
{
    while (size > 0) {
        ssize_t got = recv(fd.get(), data, size, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        data += got;
        size -= size_t(got);
    }
    return true;
}

void receiver_connection::read_messages()
{
    std::vector<uint8_t> body;
    for (;;) {
        uint8_t head[ndi_wire::header_size];
        if (!read_exactly(head, sizeof head))
            break;
        auto header = ndi_wire::decode_header(head);
        if (!header || header->body_size > ndi_wire::max_receiver_body)
            break;
        body.resize(header->body_size);
        if (!read_exactly(body.data(), body.size()))
            break;

        ndi_wire::reader r(body.data(), body.size());
        if (header->type == ndi_wire::message_type::metadata) {
            int64_t timecode = r.i64();
            if (r.failed())
                break;
            events.receiver_metadata(timecode, std::string(reinterpret_cast<const char*>(r.current()), r.remaining()));
        } else if (header->type == ndi_wire::message_type::tally) {
            if (body.size() != 2)
                break;
            on_program = r.u8() != 0;
            on_preview = r.u8() != 0;
            events.receiver_tally_changed();
        } else {
            break;   // a receiver sends nothing else: garbage, cut it off
        }
    }
    end();
    events.receiver_closed(*this);
}

}   // namespace ndi_sim
