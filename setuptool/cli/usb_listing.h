// The printers behind the interface list's "USB" entry: those the USB
// library itself lists, so that `kp28setup interfaces` shows what "Reboot",
// "Load FW", "USB ID" and "Send  Setup" over "USB" would reach.
#pragma once

#include <string>
#include <vector>

namespace kp28setup_cli {

struct UsbPrinter {
    std::string path;  // the library's device path, "usb#vid_3509&pid_0140#SERIAL#/dev/usb/lp0"
    std::string node;  // the device node it opens (below KP28_SYSROOT)
};

struct UsbListing {
    bool loaded = false;
    std::string error;  // why the library could not be loaded or asked
    std::vector<UsbPrinter> printers;
};

// Loads the library the setup tool sends through and asks it for its list.
UsbListing list_usb_printers(const std::string& root);

}  // namespace kp28setup_cli
