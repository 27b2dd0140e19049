#include "audio/audio_compress.h"

#include <cstdio>

#include "base/debug_log.h"
#include "base/utilities.h"
#include "ndi/network_send.h"

audio_compress::audio_compress(std::shared_ptr<hardware> hardware, std::shared_ptr<network_send> network)
    : hw(std::move(hardware)), sender(std::move(network))
{
    thread = std::thread([this] { send_frames(); });
}

audio_compress::~audio_compress()
{
    debug_print(3, "audio_compress Destructor\n");
    fflush(stdout);
    // The stop marker goes in even if we were never enabled, when
    // push_frame would drop it and "audcomp" would wait for ever.
    queue.run();
    push_frame(nullptr);
    thread.join();
    sender.reset();
    hw.reset();
}

void audio_compress::enable()
{
    queue.run();
}

void audio_compress::push_frame(std::shared_ptr<audio_capture::frame_t> frame)
{
    queue.push(std::move(frame), 'a', '~', [this](const auto&) { dropped.fetch_add(1, std::memory_order_relaxed); });
}

audio_compress::counters_t audio_compress::counters() const
{
    counters_t c;
    c.sent = sent.load(std::memory_order_relaxed);
    c.dropped = dropped.load(std::memory_order_relaxed);
    return c;
}

void audio_compress::send_frames()
{
    set_thread_name("audcomp");
    for (;;) {
        const auto frame = queue.take('A');
        if (!frame)
            return;
        send_audio(*frame);
        sent.fetch_add(1, std::memory_order_relaxed);
    }
}

void audio_compress::send_audio(const audio_capture::frame_t& frame)
{
    if (!sender || !sender->sender())
        return;
    NDIlib_audio_frame_interleaved_32s_t audio{};
    audio.sample_rate = frame.sample_rate;
    audio.no_channels = int(frame.channels);
    audio.no_samples = int(frame.samples);
    audio.timecode = frame.timestamp;
    audio.reference_level = int(frame.reference_level);
    audio.p_data = frame.data;
    NDIlib_util_send_send_audio_interleaved_32s(sender->sender(), &audio);
}
