#include "usb_listing.h"

#include <dlfcn.h>
#include <kp28setup/senders.h>

#include <cstdint>

namespace kp28setup_cli {

namespace {

// The library's room for printers (KP28_MAX_PRINTERS).
constexpr int kMaxPrinters = 16;
constexpr std::int32_t kNoPrinters = 0x401;

}  // namespace

UsbListing list_usb_printers(const std::string& root) {
    UsbListing out;
    const std::string file = kp28setup::usb_library_file();
    ::dlerror();
    // Not closed again: the library keeps its threads and its table until
    // the process ends, as it does for the senders that load it too.
    void* h = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* e = ::dlerror();
        out.error = e ? e : "cannot load " + file;
        return out;
    }
    using ListFn = std::int32_t (*)(int*, const char**);
    auto list = reinterpret_cast<ListFn>(::dlsym(h, "Kp28wrap_list"));
    if (!list) {
        out.error = file + ": no Kp28wrap_list";
        return out;
    }
    out.loaded = true;
    const char* paths[kMaxPrinters] = {};
    int count = kMaxPrinters;
    const std::int32_t rc = list(&count, paths);
    if (rc == kNoPrinters) return out;
    if (rc != 0) {
        out.error = "Kp28wrap_list failed with code " + std::to_string(rc);
        return out;
    }
    for (int i = 0; i < count && i < kMaxPrinters; ++i) {
        if (!paths[i]) continue;
        UsbPrinter p;
        p.path = paths[i];
        // The node is the path's last field, as the library opens it below the root.
        const auto hash = p.path.rfind('#');
        p.node = root + (hash == std::string::npos ? p.path : p.path.substr(hash + 1));
        out.printers.push_back(std::move(p));
    }
    return out;
}

}  // namespace kp28setup_cli
