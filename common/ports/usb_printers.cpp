// usblp printers from sysfs. Each printer is class/usbmisc/lpN; its device link
// leads to the USB interface, whose parent folder is the USB device with the
// identity attributes.
#include <algorithm>
#include <filesystem>
#include <system_error>

#include "kp28/ports/layout.h"
#include "kp28/ports/ports.h"
#include "numbered_name.h"

namespace fs = std::filesystem;

namespace kp28::ports {

std::vector<UsbPrinterEntry> scan_usb_printers(const std::string& root) {
    std::vector<UsbPrinterEntry> out;
    std::error_code ec;
    const fs::path cls = fs::path(root + "/" + std::string(layout::kUsbPrinterClass));
    std::vector<std::pair<long, std::string>> found;
    for (fs::directory_iterator it(cls, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        // usbmisc also holds hiddev and friends.
        const long n = numbered_name(name, "lp");
        if (n >= 0) found.emplace_back(n, name);
    }
    std::sort(found.begin(), found.end());

    for (const auto& [n, name] : found) {
        const std::string dev = (cls / name / std::string(layout::kDeviceLink)).string();
        std::string vid, pid, serial;
        if (!read_attribute(dev + "/../idVendor", vid)) continue;
        if (!read_attribute(dev + "/../idProduct", pid)) continue;
        if (!read_attribute(dev + "/../serial", serial) || serial.empty()) {
            // No serial number: the USB device's folder name stands in, which
            // is stable for the port the printer is plugged into.
            const fs::path usbdev = fs::canonical(fs::path(dev) / "..", ec);
            if (ec) continue;
            serial = usbdev.filename().string();
        }
        const std::string node_rel = "/" + layout::usb_printer_node(static_cast<int>(n));
        UsbPrinterEntry e;
        e.path_text = "usb#vid_" + vid + "&pid_" + pid + "#" + serial + "#" + node_rel;
        e.node = root + node_rel;
        out.push_back(std::move(e));
    }
    return out;
}

}  // namespace kp28::ports
