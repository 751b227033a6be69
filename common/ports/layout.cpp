#include "kp28/ports/layout.h"

namespace kp28::ports::layout {

namespace {
std::string join(std::string_view dir, std::string_view name) {
    std::string out(dir);
    out += '/';
    out += name;
    return out;
}
}  // namespace

std::string usb_printer_dir(int n) {
    return join(kUsbPrinterClass, "lp" + std::to_string(n));
}
std::string usb_printer_node(int n) {
    return "dev/usb/lp" + std::to_string(n);
}
std::string tty_dir(std::string_view name) {
    return join(kTtyClass, name);
}
std::string tty_node(std::string_view name) {
    return join("dev", name);
}
std::string parallel_dir(int n) {
    return join(kParallelClass, "lp" + std::to_string(n));
}
std::string parallel_node(int n) {
    return "dev/lp" + std::to_string(n);
}

}  // namespace kp28::ports::layout
