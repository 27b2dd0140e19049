#include "tests/audio/sent_audio.h"

sent_audio& sent_audio::log()
{
    static sent_audio the_log;
    return the_log;
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

extern "C" void NDIlib_util_send_send_audio_interleaved_32s(NDIlib_send_instance_t p_instance,
                                                            const NDIlib_audio_frame_interleaved_32s_t* p_audio_data)
{
    if (p_audio_data)
        sent_audio::log().record(p_instance, *p_audio_data);
}
