// What the stand-in runtime offers beyond the NDI functions, for tests and
// tools that know they run against it. The product never includes this.
#pragma once

#include "ndi/ndi_lib.h"

extern "C" {

// The TCP port the instance listens on: the one configured, or the one the
// system chose when port 0 was asked for.
int NDIsim_send_get_port(NDIlib_send_instance_t p_instance);

}
