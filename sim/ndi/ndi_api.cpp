// The NDI runtime's C entry points, as the stand-in implements them. Each is
// a thin call onto ndi_sim::sender; a null instance or record is ignored the
// way a careful runtime would, rather than crashing the program.
//
// NDI_SIM_UNAVAILABLE=1 in the environment makes NDIlib_initialize fail,
// to rehearse a board whose runtime cannot start. SIM_CALL_COST=FILE
// samples what the calls made at the picture rate cost (call_cost.h).
#include <atomic>
#include <cstdlib>
#include <shared_mutex>

#include "ndi/ndi_lib.h"
#include "sim/call_cost/call_cost.h"
#include "sim/ndi/ndi_sim.h"
#include "sim/ndi/sender.h"

struct NDIlib_send_instance_type {
    std::unique_ptr<ndi_sim::sender> sender;
};

#define NDI_EXPORT __attribute__((visibility("default")))

namespace {

// The calls the program makes at its picture and audio rates.
sim::call_cost send_cost("ndi");

// The in-process recorder of the send calls. A call shows itself to the
// observer under the shared lock, so that a new observer waits for the calls
// inside the old; without an observer a call costs one atomic read.
std::shared_mutex observer_lock;
NDIsim_send_observer_t observer{};   // guarded by observer_lock
std::atomic<bool> observed{false};

template <typename Record>
void show(void (*NDIsim_send_observer_t::*member)(void*, NDIlib_send_instance_t, const Record*),
          NDIlib_send_instance_t instance, const Record* record)
{
    if (!observed.load(std::memory_order_acquire))
        return;
    std::shared_lock<std::shared_mutex> lock(observer_lock);
    if (observer.*member != nullptr)
        (observer.*member)(observer.p_context, instance, record);
}

}   // namespace

extern "C" {

NDI_EXPORT bool NDIlib_initialize(void)
{
    const char* unavailable = std::getenv("NDI_SIM_UNAVAILABLE");
    return unavailable == nullptr || unavailable[0] == '\0' || unavailable[0] == '0';
}

NDI_EXPORT void NDIlib_destroy(void)
{
}

NDI_EXPORT NDIlib_send_instance_t NDIlib_send_create_v2(const NDIlib_send_create_t* p_create_settings,
                                                        const char* p_config_data)
{
    NDIlib_send_create_t settings{};
    if (p_create_settings != nullptr)
        settings = *p_create_settings;
    auto sender = ndi_sim::sender::create(settings, p_config_data);
    if (!sender)
        return nullptr;
    return new NDIlib_send_instance_type{std::move(sender)};
}

NDI_EXPORT void NDIlib_send_destroy(NDIlib_send_instance_t p_instance)
{
    delete p_instance;
}

NDI_EXPORT void NDIlib_send_add_connection_metadata(NDIlib_send_instance_t p_instance,
                                                    const NDIlib_metadata_frame_t* p_metadata)
{
    if (p_instance != nullptr && p_metadata != nullptr)
        p_instance->sender->add_connection_metadata(*p_metadata);
}

NDI_EXPORT int NDIlib_send_get_target_frame_size(NDIlib_send_instance_t p_instance,
                                                 const NDIlib_video_frame_v2_t* p_video_data)
{
    const sim::call_cost::sample measured(send_cost);
    if (p_instance == nullptr || p_video_data == nullptr)
        return 0;
    show(&NDIsim_send_observer_t::size_asked, p_instance, p_video_data);
    return p_instance->sender->target_frame_size(*p_video_data);
}

NDI_EXPORT int NDIlib_send_get_q_factor(NDIlib_send_instance_t p_instance, const NDIlib_video_frame_v2_t* p_video_data)
{
    const sim::call_cost::sample measured(send_cost);
    if (p_instance == nullptr || p_video_data == nullptr)
        return -1;
    if (observed.load(std::memory_order_acquire)) {
        std::shared_lock<std::shared_mutex> lock(observer_lock);
        if (observer.q_asked != nullptr)
            return observer.q_asked(observer.p_context, p_instance, p_video_data);
    }
    return p_instance->sender->q_factor(*p_video_data);
}

NDI_EXPORT void NDIlib_send_send_video_async_v2(NDIlib_send_instance_t p_instance,
                                                const NDIlib_video_frame_v2_t* p_video_data)
{
    const sim::call_cost::sample measured(send_cost);
    show(&NDIsim_send_observer_t::video, p_instance, p_video_data);
    if (p_instance != nullptr)
        p_instance->sender->send_video(p_video_data);
}

NDI_EXPORT void NDIlib_util_send_send_audio_interleaved_32s(NDIlib_send_instance_t p_instance,
                                                            const NDIlib_audio_frame_interleaved_32s_t* p_audio_data)
{
    const sim::call_cost::sample measured(send_cost);
    show(&NDIsim_send_observer_t::audio, p_instance, p_audio_data);
    if (p_instance != nullptr && p_audio_data != nullptr)
        p_instance->sender->send_audio(*p_audio_data);
}

NDI_EXPORT NDIlib_frame_type_e NDIlib_send_capture(NDIlib_send_instance_t p_instance,
                                                   NDIlib_metadata_frame_t* p_metadata, uint32_t timeout_in_ms)
{
    if (p_instance == nullptr || p_metadata == nullptr)
        return NDIlib_frame_type_none;
    return p_instance->sender->capture(*p_metadata, timeout_in_ms);
}

NDI_EXPORT void NDIlib_send_free_metadata(NDIlib_send_instance_t, const NDIlib_metadata_frame_t* p_metadata)
{
    if (p_metadata != nullptr)
        ndi_sim::sender::free_metadata(*p_metadata);
}

NDI_EXPORT bool NDIlib_send_get_tally(NDIlib_send_instance_t p_instance, NDIlib_tally_t* p_tally,
                                      uint32_t timeout_in_ms)
{
    if (p_instance == nullptr || p_tally == nullptr)
        return false;
    return p_instance->sender->get_tally(*p_tally, timeout_in_ms);
}

NDI_EXPORT int NDIlib_send_get_no_connections(NDIlib_send_instance_t p_instance, uint32_t timeout_in_ms)
{
    if (p_instance == nullptr)
        return 0;
    return p_instance->sender->connections(timeout_in_ms);
}

NDI_EXPORT int NDIsim_send_get_port(NDIlib_send_instance_t p_instance)
{
    return p_instance != nullptr ? p_instance->sender->port() : -1;
}

NDI_EXPORT void NDIsim_send_set_observer(const NDIsim_send_observer_t* p_observer)
{
    std::unique_lock<std::shared_mutex> lock(observer_lock);
    observer = p_observer != nullptr ? *p_observer : NDIsim_send_observer_t{};
    observed.store(p_observer != nullptr, std::memory_order_release);
}

}   // extern "C"
