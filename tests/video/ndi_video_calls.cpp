#include "tests/video/ndi_video_calls.h"

#include "sim/ndi/ndi_sim.h"

ndi_video_calls& ndi_video_calls::log()
{
    static ndi_video_calls the_log;
    return the_log;
}

void ndi_video_calls::clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    sent.clear();
    q_asked.clear();
    sizes_asked.clear();
    q_rule = nullptr;
    send_hook = nullptr;
}

void ndi_video_calls::set_held(bool on)
{
    std::lock_guard<std::mutex> lock(mutex);
    held = on;
    changed.notify_all();
}

void ndi_video_calls::set_q_held(bool on)
{
    std::lock_guard<std::mutex> lock(mutex);
    q_held = on;
    changed.notify_all();
}

void ndi_video_calls::answer_q(std::function<int(const NDIlib_video_frame_v2_t&)> rule)
{
    std::lock_guard<std::mutex> lock(mutex);
    q_rule = std::move(rule);
}

void ndi_video_calls::on_send(std::function<void(const NDIlib_video_frame_v2_t&)> hook)
{
    std::lock_guard<std::mutex> lock(mutex);
    send_hook = std::move(hook);
}

bool ndi_video_calls::wait_for_pictures(size_t count, std::chrono::seconds limit)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, limit, [&] { return sent.size() >= count; });
}

bool ndi_video_calls::wait_for_q_questions(size_t count, std::chrono::seconds limit)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, limit, [&] { return q_asked.size() >= count; });
}

std::vector<ndi_video_calls::sent_picture> ndi_video_calls::pictures()
{
    std::lock_guard<std::mutex> lock(mutex);
    return sent;
}

std::vector<NDIlib_video_frame_v2_t> ndi_video_calls::q_questions()
{
    std::lock_guard<std::mutex> lock(mutex);
    return q_asked;
}

std::vector<NDIlib_video_frame_v2_t> ndi_video_calls::size_questions()
{
    std::lock_guard<std::mutex> lock(mutex);
    return sizes_asked;
}

void ndi_video_calls::record(const NDIlib_video_frame_v2_t& frame)
{
    std::function<void(const NDIlib_video_frame_v2_t&)> hook;
    {
        std::lock_guard<std::mutex> lock(mutex);
        hook = send_hook;
    }
    if (hook)
        hook(frame);
    sent_picture picture{frame, {}};
    if (frame.p_data && frame.data_size_in_bytes > 0)
        picture.bytes.assign(frame.p_data, frame.p_data + frame.data_size_in_bytes);
    std::unique_lock<std::mutex> lock(mutex);
    sent.push_back(std::move(picture));
    changed.notify_all();
    changed.wait(lock, [this] { return !held; });
}

int ndi_video_calls::q_for(const NDIlib_video_frame_v2_t& frame)
{
    std::unique_lock<std::mutex> lock(mutex);
    q_asked.push_back(frame);
    changed.notify_all();
    changed.wait(lock, [this] { return !q_held; });
    return q_rule ? q_rule(frame) : 60;
}

void ndi_video_calls::size_asked(const NDIlib_video_frame_v2_t& frame)
{
    std::lock_guard<std::mutex> lock(mutex);
    sizes_asked.push_back(frame);
}

namespace {

// The stand-in runtime's observer: every instance's video calls come here
// first, then go on into the runtime as they would without it.
void picture_sent(void*, NDIlib_send_instance_t, const NDIlib_video_frame_v2_t* frame)
{
    ndi_video_calls::log().record(*frame);
}

int q_asked(void*, NDIlib_send_instance_t, const NDIlib_video_frame_v2_t* frame)
{
    return ndi_video_calls::log().q_for(*frame);
}

void size_asked(void*, NDIlib_send_instance_t, const NDIlib_video_frame_v2_t* frame)
{
    ndi_video_calls::log().size_asked(*frame);
}

const NDIsim_send_observer_t observer{nullptr, picture_sent, nullptr, q_asked, size_asked};

// Installed as the test program starts, before any picture is asked about.
const bool installed = (ndi_video_calls::log(), true);

}   // namespace

ndi_video_calls::ndi_video_calls()
{
    NDIsim_send_set_observer(&observer);
}
