// A network_send on the NDI runtime stand-in, listening on a free loopback
// port, for tests of the objects that send through it.
#pragma once

#include <memory>

class network_send;

std::shared_ptr<network_send> loopback_sender();
