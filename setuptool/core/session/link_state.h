// What the senders and the maintenance front-ends keep for the session's
// whole life: the bound USB library, the network connection that a LAN send
// leaves open, and the run directory of the report and helper files.
#pragma once

#include <memory>

#include "kp28setup/maintenance.h"
#include "kp28setup/senders.h"

namespace kp28setup {

struct LinkState {
    std::shared_ptr<UsbLibrary> usb;
    TcpClient lan;
    RunDirectory run_dir;
};

}  // namespace kp28setup
