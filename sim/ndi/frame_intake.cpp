#include "sim/ndi/frame_intake.h"

#include <pthread.h>

namespace ndi_sim {

frame_intake::frame_intake(std::function<void(message_ptr)> deliver_to, std::function<bool()> is_wanted)
    : deliver(std::move(deliver_to)), wanted(std::move(is_wanted))
{
    thread = std::thread([this] {
        pthread_setname_np(pthread_self(), "ndi:intake");
        take_frames();
    });
}

frame_intake::~frame_intake()
{
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    work.notify_one();
    thread.join();
}

void frame_intake::submit_video(const NDIlib_video_frame_v2_t& frame, int64_t timecode)
{
    item entry{};
    entry.video = frame;
    entry.video.timecode = timecode;
    uint64_t sequence = enqueue(std::move(entry));
    // The contract: the previous picture (of any stream) is finished with
    // before this call returns; this one is read later.
    wait_taken(sequence - 1);
}

void frame_intake::submit_ready(message_ptr message)
{
    item entry{};
    entry.message = std::move(message);
    enqueue(std::move(entry));
}

void frame_intake::flush()
{
    std::unique_lock lock(mutex);
    uint64_t last = submitted;
    taken.wait(lock, [&] { return completed >= last; });
}

uint64_t frame_intake::enqueue(item entry)
{
    uint64_t sequence;
    {
        std::lock_guard lock(mutex);
        sequence = ++submitted;
        entry.sequence = sequence;
        queue.push_back(std::move(entry));
    }
    work.notify_one();
    return sequence;
}

void frame_intake::wait_taken(uint64_t sequence)
{
    std::unique_lock lock(mutex);
    taken.wait(lock, [&] { return completed >= sequence; });
}

void frame_intake::take_frames()
{
    for (;;) {
        item entry;
        {
            std::unique_lock lock(mutex);
            work.wait(lock, [this] { return !queue.empty() || stopping; });
            if (queue.empty())
                break;
            entry = std::move(queue.front());
            queue.pop_front();
        }

        // The borrowed bytes are read here, outside the lock: the caller
        // keeps them until a later video call returns, and that call waits
        // for this item to be marked taken.
        message_ptr message = entry.message ? std::move(entry.message) : wanted() ? copy_picture(entry.video) : nullptr;
        if (message)
            deliver(std::move(message));

        {
            std::lock_guard lock(mutex);
            completed = entry.sequence;
        }
        taken.notify_all();
    }
}

message_ptr frame_intake::copy_picture(const NDIlib_video_frame_v2_t& frame) const
{
    auto message = std::make_shared<outgoing_message>();
    message->type = ndi_wire::message_type::video;
    message->body.reserve(ndi_wire::video_fields::size + size_t(frame.data_size_in_bytes));

    ndi_wire::video_fields fields;
    fields.xres = frame.xres;
    fields.yres = frame.yres;
    fields.fourcc = uint32_t(frame.FourCC);
    fields.frame_rate_n = frame.frame_rate_N;
    fields.frame_rate_d = frame.frame_rate_D;
    fields.picture_aspect_ratio = frame.picture_aspect_ratio;
    fields.frame_format_type = int32_t(frame.frame_format_type);
    fields.timecode = frame.timecode;
    fields.timestamp = frame.timestamp;

    ndi_wire::writer w(message->body);
    ndi_wire::put_video_fields(w, fields);
    w.bytes(frame.p_data, size_t(frame.data_size_in_bytes));
    return message;
}

}   // namespace ndi_sim
