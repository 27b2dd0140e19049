#include "tests/audio/sent_audio.h"

#include "sim/ndi/ndi_sim.h"

namespace {

void on_audio(void* context, NDIlib_send_instance_t instance, const NDIlib_audio_frame_interleaved_32s_t* frame)
{
    if (frame)
        static_cast<sent_audio*>(context)->record(instance, *frame);
}

}   // namespace

sent_audio& sent_audio::log()
{
    static sent_audio the_log;
    return the_log;
}

sent_audio::sent_audio()
{
    const NDIsim_send_observer_t observer{this, nullptr, on_audio, nullptr, nullptr};
    NDIsim_send_set_observer(&observer);
}

sent_audio::~sent_audio()
{
    NDIsim_send_set_observer(nullptr);
}

void sent_audio::clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    sent.clear();
}

void sent_audio::set_held(bool on)
{
    std::lock_guard<std::mutex> lock(mutex);
    held = on;
    changed.notify_all();
}

bool sent_audio::wait_for(size_t count, std::chrono::seconds limit)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, limit, [&] { return sent.size() >= count; });
}

std::vector<sent_audio::block> sent_audio::blocks()
{
    std::lock_guard<std::mutex> lock(mutex);
    return sent;
}

size_t sent_audio::count()
{
    std::lock_guard<std::mutex> lock(mutex);
    return sent.size();
}

void sent_audio::record(NDIlib_send_instance_t instance, const NDIlib_audio_frame_interleaved_32s_t& frame)
{
    block b{instance, frame, {}};
    if (frame.p_data && frame.no_channels > 0 && frame.no_samples > 0)
        b.samples.assign(frame.p_data, frame.p_data + size_t(frame.no_channels) * size_t(frame.no_samples));
    std::unique_lock<std::mutex> lock(mutex);
    sent.push_back(std::move(b));
    changed.notify_all();
    changed.wait(lock, [this] { return !held; });
}
