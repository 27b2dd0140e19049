// What the stand-in runtime offers beyond the NDI functions, for tests and
// tools that know they run against it. The product never includes this.
#pragma once

#include "ndi/ndi_lib.h"

extern "C" {

// The TCP port the instance listens on: the one configured, or the one the
// system chose when port 0 was asked for.
int NDIsim_send_get_port(NDIlib_send_instance_t p_instance);

// An in-process observer of every instance's video calls, for tests that
// look at what a program asks and sends without a receiver. Each function
// may be null. The calls still do all they do without an observer: the
// observer sees them first.
struct NDIsim_video_observer {
    void* context;
    // A picture handed to NDIlib_send_send_video_async_v2 (never null), in
    // the call: its bytes are readable until the function returns.
    void (*sent)(void* context, const NDIlib_video_frame_v2_t* frame);
    // A quality factor asked for: what it returns is the answer, in place of
    // the runtime's own rate control (any value, to try a program's
    // handling of a runtime that answers out of range).
    int (*q_asked)(void* context, const NDIlib_video_frame_v2_t* frame);
    // A target frame size asked for.
    void (*size_asked)(void* context, const NDIlib_video_frame_v2_t* frame);
};

// Installs the observer (null: none). The caller keeps it alive until it is
// replaced; a call in progress may still use the one it replaced.
void NDIsim_set_video_observer(const struct NDIsim_video_observer* observer);

}
