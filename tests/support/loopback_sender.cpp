#include "tests/support/loopback_sender.h"

#include <cstdlib>

#include "ndi/network_send.h"

std::shared_ptr<network_send> loopback_sender()
{
    setenv("NDI_SIM_PORT", "0", 1);
    setenv("NDI_SIM_ADDRESS", "127.0.0.1", 1);
    return std::make_shared<network_send>(ndi_configuration(), "<ndi_capabilities qrn_ptz=\"true\"/>", "PTZ");
}
