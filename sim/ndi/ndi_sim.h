// What the stand-in runtime offers beyond the NDI functions, for tests and
// tools that know they run against it. The product never includes this.
#pragma once

#include "ndi/ndi_lib.h"

extern "C" {

// The TCP port the instance listens on: the one configured, or the one the
// system chose when port 0 was asked for.
int NDIsim_send_get_port(NDIlib_send_instance_t p_instance);

// An in-process recorder of the send calls: each video and audio send call
// and each question about a picture (Q, target size) of any instance is
// shown to it on the calling thread, as the program made it and before the
// stand-in takes the frame in. A member left null is not
// called. An observer may hold the calling thread (to fill the program's
// queues behind it); it must not call the stand-in itself.
typedef struct NDIsim_send_observer_t {
    void* p_context;
    void (*video)(void* p_context, NDIlib_send_instance_t p_instance, const NDIlib_video_frame_v2_t* p_video_data);
    void (*audio)(void* p_context, NDIlib_send_instance_t p_instance,
                  const NDIlib_audio_frame_interleaved_32s_t* p_audio_data);
    // A quality factor asked for: what it returns is the answer, in place of
    // the runtime's own rate control (any value, to try a program's handling
    // of a runtime that answers out of range).
    int (*q_asked)(void* p_context, NDIlib_send_instance_t p_instance, const NDIlib_video_frame_v2_t* p_video_data);
    // A target frame size asked for; the runtime answers as usual.
    void (*size_asked)(void* p_context, NDIlib_send_instance_t p_instance, const NDIlib_video_frame_v2_t* p_video_data);
} NDIsim_send_observer_t;

// Puts the observer in place of the one before (NULL: none); the record is
// copied. Returns once no call is inside the one before, so that its
// context may go.
void NDIsim_send_set_observer(const NDIsim_send_observer_t* p_observer);
}
