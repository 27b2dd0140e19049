// The subset of the NDI runtime (libndi.so.5) that this program calls.
//
// The runtime is a closed C library; this header is our own declaration of
// the part we use, written to its public ABI: field order, C types and enum
// values must match it exactly, because the same code links the runtime on
// the board and our stand-in (sim/ndi) on a development machine.
//
// Every enum carries a _max entry of 0x7fffffff so that it is 4 bytes wide
// whatever the compiler's enum sizing.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// Opaque: only the runtime knows what a send instance is.
struct NDIlib_send_instance_type;
typedef struct NDIlib_send_instance_type* NDIlib_send_instance_t;

// Asks the runtime to put its own clock on a frame instead of the caller's.
static constexpr int64_t NDIlib_send_timecode_synthesize = INT64_MAX;

typedef enum NDIlib_frame_type_e {
    NDIlib_frame_type_none = 0,
    NDIlib_frame_type_video = 1,
    NDIlib_frame_type_audio = 2,
    NDIlib_frame_type_metadata = 3,
    NDIlib_frame_type_error = 4,
    NDIlib_frame_type_status_change = 100,
    NDIlib_frame_type_max = 0x7fffffff
} NDIlib_frame_type_e;

// Four-character codes pack the first character in the low byte. The
// upper-case codes carry the full-resolution stream, the lower-case ones the
// preview stream; the digit is the chroma format (0 = 4:2:0, 2 = 4:2:2).
typedef enum NDIlib_FourCC_video_type_e {
    NDIlib_FourCC_video_type_SHQ0 = 0x30514853,
    NDIlib_FourCC_video_type_SHQ2 = 0x32514853,
    NDIlib_FourCC_video_type_shq0 = 0x30716873,
    NDIlib_FourCC_video_type_shq2 = 0x32716873,
    NDIlib_FourCC_video_type_max = 0x7fffffff
} NDIlib_FourCC_video_type_e;

typedef enum NDIlib_frame_format_type_e {
    NDIlib_frame_format_type_interleaved = 0,
    NDIlib_frame_format_type_progressive = 1,
    NDIlib_frame_format_type_field_0 = 2,
    NDIlib_frame_format_type_field_1 = 3,
    NDIlib_frame_format_type_max = 0x7fffffff
} NDIlib_frame_format_type_e;

// One video picture. For compressed pictures data_size_in_bytes is the byte
// count of p_data, the bare codec payload; the slot doubles as the line
// stride of uncompressed pictures.
typedef struct NDIlib_video_frame_v2_t {
    int xres;
    int yres;
    NDIlib_FourCC_video_type_e FourCC;
    int frame_rate_N;
    int frame_rate_D;
    float picture_aspect_ratio;
    NDIlib_frame_format_type_e frame_format_type;
    int64_t timecode;   // 100 ns units
    uint8_t* p_data;
    union {
        int line_stride_in_bytes;
        int data_size_in_bytes;
    };
    const char* p_metadata;
    int64_t timestamp;   // 100 ns units
} NDIlib_video_frame_v2_t;

// Interleaved signed 32-bit audio: no_channels samples per sample instant.
typedef struct NDIlib_audio_frame_interleaved_32s_t {
    int sample_rate;
    int no_channels;
    int no_samples;        // per channel
    int64_t timecode;      // 100 ns units
    int reference_level;   // dB
    int32_t* p_data;
} NDIlib_audio_frame_interleaved_32s_t;

// length counts the bytes including the terminating NUL; 0 means strlen.
typedef struct NDIlib_metadata_frame_t {
    int length;
    int64_t timecode;
    char* p_data;
} NDIlib_metadata_frame_t;

typedef struct NDIlib_tally_t {
    bool on_program;
    bool on_preview;
} NDIlib_tally_t;

typedef struct NDIlib_send_create_t {
    const char* p_ndi_name;
    const char* p_groups;
    bool clock_video;
    bool clock_audio;
} NDIlib_send_create_t;

bool NDIlib_initialize(void);
void NDIlib_destroy(void);

// p_config_data is a JSON configuration text, NULL for the defaults.
// Returns NULL when the sender cannot be made.
NDIlib_send_instance_t NDIlib_send_create_v2(const NDIlib_send_create_t* p_create_settings, const char* p_config_data);
void NDIlib_send_destroy(NDIlib_send_instance_t p_instance);

// Kept by the sender and sent to every receiver that connects, and at once
// to those already connected.
void NDIlib_send_add_connection_metadata(NDIlib_send_instance_t p_instance, const NDIlib_metadata_frame_t* p_metadata);

// Target size in bytes of a compressed picture of this description
// (p_data is not looked at).
int NDIlib_send_get_target_frame_size(NDIlib_send_instance_t p_instance, const NDIlib_video_frame_v2_t* p_video_data);

// Quality factor (0..99) for the next SpeedHQ picture of that stream, -1 for
// a code that is not SpeedHQ. For interlaced video ask on the first field and
// reuse the answer for the second.
int NDIlib_send_get_q_factor(NDIlib_send_instance_t p_instance, const NDIlib_video_frame_v2_t* p_video_data);

// Returns at once. The caller's bytes stay in use until the next video send
// call on the instance has returned (or a call with NULL, or destroy).
void NDIlib_send_send_video_async_v2(NDIlib_send_instance_t p_instance, const NDIlib_video_frame_v2_t* p_video_data);

// The buffer is free again when the call returns.
void NDIlib_util_send_send_audio_interleaved_32s(NDIlib_send_instance_t p_instance,
                                                 const NDIlib_audio_frame_interleaved_32s_t* p_audio_data);

// Metadata sent upstream by receivers: NDIlib_frame_type_metadata with the
// frame filled (NUL-terminated text) when one arrived within the timeout,
// NDIlib_frame_type_none otherwise. Give a filled frame back with
// NDIlib_send_free_metadata.
NDIlib_frame_type_e NDIlib_send_capture(NDIlib_send_instance_t p_instance, NDIlib_metadata_frame_t* p_metadata,
                                        uint32_t timeout_in_ms);
void NDIlib_send_free_metadata(NDIlib_send_instance_t p_instance, const NDIlib_metadata_frame_t* p_metadata);

// Receivers connected now. A timeout other than 0 waits up to that long for
// the first one.
int NDIlib_send_get_no_connections(NDIlib_send_instance_t p_instance, uint32_t timeout_in_ms);

// True when the tally changed since the last call, or changes within the
// timeout; the record then holds the new state.
bool NDIlib_send_get_tally(NDIlib_send_instance_t p_instance, NDIlib_tally_t* p_tally, uint32_t timeout_in_ms);

}   // extern "C"

// The runtime's record layouts, field by field, on the targets the program
// is built for: 64-bit (aarch64 boards, x86-64 for the virtual board) and
// 32-bit ARM with hard float (EABI: 64-bit fields 8-byte aligned). A field
// out of place here would hand the runtime a wrong picture, not a compile
// error, so the compiler checks it.
#define NDI_LIB_FIELD(record, field, offset) static_assert(offsetof(record, field) == (offset), #record "::" #field)
#if UINTPTR_MAX == UINT64_MAX
static_assert(sizeof(NDIlib_video_frame_v2_t) == 72);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, xres, 0);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, yres, 4);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, FourCC, 8);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, frame_rate_N, 12);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, frame_rate_D, 16);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, picture_aspect_ratio, 20);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, frame_format_type, 24);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, timecode, 32);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, p_data, 40);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, line_stride_in_bytes, 48);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, data_size_in_bytes, 48);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, p_metadata, 56);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, timestamp, 64);
static_assert(sizeof(NDIlib_audio_frame_interleaved_32s_t) == 40);
NDI_LIB_FIELD(NDIlib_audio_frame_interleaved_32s_t, sample_rate, 0);
NDI_LIB_FIELD(NDIlib_audio_frame_interleaved_32s_t, no_channels, 4);
NDI_LIB_FIELD(NDIlib_audio_frame_interleaved_32s_t, no_samples, 8);
NDI_LIB_FIELD(NDIlib_audio_frame_interleaved_32s_t, timecode, 16);
NDI_LIB_FIELD(NDIlib_audio_frame_interleaved_32s_t, reference_level, 24);
NDI_LIB_FIELD(NDIlib_audio_frame_interleaved_32s_t, p_data, 32);
static_assert(sizeof(NDIlib_metadata_frame_t) == 24);
NDI_LIB_FIELD(NDIlib_metadata_frame_t, length, 0);
NDI_LIB_FIELD(NDIlib_metadata_frame_t, timecode, 8);
NDI_LIB_FIELD(NDIlib_metadata_frame_t, p_data, 16);
static_assert(sizeof(NDIlib_send_create_t) == 24);
NDI_LIB_FIELD(NDIlib_send_create_t, p_ndi_name, 0);
NDI_LIB_FIELD(NDIlib_send_create_t, p_groups, 8);
NDI_LIB_FIELD(NDIlib_send_create_t, clock_video, 16);
NDI_LIB_FIELD(NDIlib_send_create_t, clock_audio, 17);
#elif UINTPTR_MAX == UINT32_MAX && defined(__arm__)
static_assert(sizeof(NDIlib_video_frame_v2_t) == 64);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, xres, 0);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, yres, 4);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, FourCC, 8);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, frame_rate_N, 12);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, frame_rate_D, 16);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, picture_aspect_ratio, 20);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, frame_format_type, 24);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, timecode, 32);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, p_data, 40);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, line_stride_in_bytes, 44);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, data_size_in_bytes, 44);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, p_metadata, 48);
NDI_LIB_FIELD(NDIlib_video_frame_v2_t, timestamp, 56);
static_assert(sizeof(NDIlib_audio_frame_interleaved_32s_t) == 32);
NDI_LIB_FIELD(NDIlib_audio_frame_interleaved_32s_t, sample_rate, 0);
NDI_LIB_FIELD(NDIlib_audio_frame_interleaved_32s_t, no_channels, 4);
NDI_LIB_FIELD(NDIlib_audio_frame_interleaved_32s_t, no_samples, 8);
NDI_LIB_FIELD(NDIlib_audio_frame_interleaved_32s_t, timecode, 16);
NDI_LIB_FIELD(NDIlib_audio_frame_interleaved_32s_t, reference_level, 24);
NDI_LIB_FIELD(NDIlib_audio_frame_interleaved_32s_t, p_data, 28);
static_assert(sizeof(NDIlib_metadata_frame_t) == 24);
NDI_LIB_FIELD(NDIlib_metadata_frame_t, length, 0);
NDI_LIB_FIELD(NDIlib_metadata_frame_t, timecode, 8);
NDI_LIB_FIELD(NDIlib_metadata_frame_t, p_data, 16);
static_assert(sizeof(NDIlib_send_create_t) == 12);
NDI_LIB_FIELD(NDIlib_send_create_t, p_ndi_name, 0);
NDI_LIB_FIELD(NDIlib_send_create_t, p_groups, 4);
NDI_LIB_FIELD(NDIlib_send_create_t, clock_video, 8);
NDI_LIB_FIELD(NDIlib_send_create_t, clock_audio, 9);
#else
#error "the NDI runtime's record layouts are known for 64-bit targets and 32-bit ARM only"
#endif
static_assert(sizeof(NDIlib_tally_t) == 2);
NDI_LIB_FIELD(NDIlib_tally_t, on_program, 0);
NDI_LIB_FIELD(NDIlib_tally_t, on_preview, 1);
#undef NDI_LIB_FIELD
static_assert(sizeof(NDIlib_FourCC_video_type_e) == 4);
static_assert(sizeof(NDIlib_frame_type_e) == 4);
static_assert(sizeof(NDIlib_frame_format_type_e) == 4);
static_assert(NDIlib_send_timecode_synthesize == INT64_MAX);
