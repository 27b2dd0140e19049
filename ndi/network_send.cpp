#include "ndi/network_send.h"

#include <cstdio>
#include <stdexcept>

#include "base/debug_log.h"
#include "base/network_interface.h"

int make_capabilities(bool ptz_enabled, char* buffer)
{
    // Without an address there is no web page to point at: the element is
    // still announced, with qrn_ptz alone and no web_control attribute, so
    // that receivers always get well-formed XML.
    const interface_addresses eth0 = query_interface("eth0");
    if (!eth0.queried)
        debug_print(1, "Cannot open UDP socket!\n");
    // An address of 0.0.0.0 is no address to point at either.
    const bool addressed = eth0.address && *eth0.address != std::array<uint8_t, 4>{};

    const char* ptz = ptz_enabled ? "true" : "false";
    if (addressed) {
        const auto& a = *eth0.address;
        std::snprintf(buffer, capabilities_size,
                      "<ndi_capabilities qrn_ptz=\"%s\" web_control=\"http://%u.%u.%u.%u\"/>", ptz, a[0], a[1], a[2],
                      a[3]);
    } else {
        std::snprintf(buffer, capabilities_size, "<ndi_capabilities qrn_ptz=\"%s\"/>", ptz);
    }

    if (eth0.queried)
        debug_print(3, "%s\n", buffer);
    return eth0.queried ? 0 : -1;
}

const char* ndi_configuration()
{
    return R"({"tcp":{"port":5960,"address":"0.0.0.0"}})";
}

network_send::network_send(const char* configuration, const char* capabilities, const char* source_name)
{
    debug_print(3, "network_send Constructor\n");

    if (!NDIlib_initialize())
        throw std::runtime_error("Cannot run NDI!");

    NDIlib_send_create_t settings{};
    settings.p_ndi_name = source_name;
    settings.p_groups = nullptr;
    settings.clock_video = false;
    settings.clock_audio = false;
    instance = NDIlib_send_create_v2(&settings, configuration);

    debug_print(3, "%s\n", configuration ? configuration : "");

    if (instance == nullptr) {
        NDIlib_destroy();
        throw std::runtime_error("Cannot create NDI sender!");
    }

    if (capabilities == nullptr)
        return;
    NDIlib_metadata_frame_t metadata{};
    metadata.length = 0;
    metadata.timecode = NDIlib_send_timecode_synthesize;
    metadata.p_data = const_cast<char*>(capabilities);
    NDIlib_send_add_connection_metadata(instance, &metadata);
}

network_send::~network_send()
{
    debug_print(3, "network_send Destructor\n");
    NDIlib_send_destroy(instance);
    NDIlib_destroy();
}

NDIlib_video_frame_v2_t network_send::video_record(const coded_picture& frame)
{
    NDIlib_video_frame_v2_t record{};
    record.xres = int(frame.width);
    record.yres = int(frame.height);
    record.FourCC = NDIlib_FourCC_video_type_e(frame.fourcc);
    record.frame_rate_N = int(frame.frame_rate_n);
    record.frame_rate_D = int(frame.frame_rate_d);
    // Always 16:9, whatever the picture's own proportions.
    record.picture_aspect_ratio = 16.0f / 9.0f;
    switch (frame.field) {
    case 0: record.frame_format_type = NDIlib_frame_format_type_field_0; break;
    case 1: record.frame_format_type = NDIlib_frame_format_type_field_1; break;
    default: record.frame_format_type = NDIlib_frame_format_type_progressive; break;
    }
    record.timecode = frame.timestamp;
    record.p_data = frame.data.get();
    record.data_size_in_bytes = int(frame.size);
    record.p_metadata = nullptr;
    record.timestamp = frame.timestamp;
    return record;
}

void network_send::send_video(std::shared_ptr<coded_picture> frame, int preview)
{
    std::shared_ptr<coded_picture>& slot = preview == 1 ? last_preview_frame : last_full_frame;
    // The picture sent before on this stream goes only when this reference
    // does, after the runtime has taken the new one.
    const std::shared_ptr<coded_picture> before = slot;
    const NDIlib_video_frame_v2_t record = video_record(*frame);
    NDIlib_send_send_video_async_v2(instance, &record);
    slot = std::move(frame);
}

int network_send::receivers() const
{
    return NDIlib_send_get_no_connections(instance, 0);
}

bool network_send::get_tally(NDIlib_tally_t& tally, uint32_t timeout_ms)
{
    if (!NDIlib_send_get_tally(instance, &tally, timeout_ms))
        return false;
    last_tally.store(uint8_t((tally.on_program ? 1 : 0) | (tally.on_preview ? 2 : 0)), std::memory_order_relaxed);
    return true;
}

NDIlib_tally_t network_send::tally() const
{
    const uint8_t bits = last_tally.load(std::memory_order_relaxed);
    return NDIlib_tally_t{(bits & 1) != 0, (bits & 2) != 0};
}
