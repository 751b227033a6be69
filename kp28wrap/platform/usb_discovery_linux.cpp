// usblp printers from sysfs. Each printer is class/usbmisc/lpN; its device link
// leads to the USB interface, whose parent folder is the USB device with the
// identity attributes.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "kp28/sysroot.h"
#include "platform.h"

namespace fs = std::filesystem;

namespace kp28wrap::platform {

namespace {

// N of "lpN", or -1 for any other name (usbmisc also holds hiddev and friends).
long lp_number(const std::string& name) {
    if (name.size() < 3 || name.compare(0, 2, "lp") != 0) return -1;
    long n = 0;
    for (size_t i = 2; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return -1;
        n = n * 10 + (name[i] - '0');
        if (n > 1000000) return -1;
    }
    return n;
}

}  // namespace

std::vector<UsbPrinterEntry> scan_usb_printers(const std::string& root) {
    std::vector<UsbPrinterEntry> out;
    std::error_code ec;
    const fs::path cls = fs::path(root + "/sys/class/usbmisc");
    std::vector<std::pair<long, std::string>> found;
    for (fs::directory_iterator it(cls, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const long n = lp_number(name);
        if (n >= 0) found.emplace_back(n, name);
    }
    std::sort(found.begin(), found.end());

    for (const auto& [n, name] : found) {
        const std::string dev = (cls / name / "device").string();
        std::string vid, pid, serial;
        if (!kp28::read_attribute(dev + "/../idVendor", vid)) continue;
        if (!kp28::read_attribute(dev + "/../idProduct", pid)) continue;
        if (!kp28::read_attribute(dev + "/../serial", serial) || serial.empty()) {
            // No serial number: the USB device's folder name stands in, which
            // is stable for the port the printer is plugged into.
            const fs::path usbdev = fs::canonical(fs::path(dev) / "..", ec);
            if (ec) continue;
            serial = usbdev.filename().string();
        }
        const std::string node_rel = "/dev/usb/lp" + std::to_string(n);
        UsbPrinterEntry e;
        e.path_text = "usb#vid_" + vid + "&pid_" + pid + "#" + serial + "#" + node_rel;
        e.node = root + node_rel;
        out.push_back(std::move(e));
    }
    return out;
}

}  // namespace kp28wrap::platform
