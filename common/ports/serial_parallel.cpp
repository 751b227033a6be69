// Serial and parallel ports from sysfs, and the COM and LPT names the tools
// show for them.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "kp28/ports/layout.h"
#include "kp28/ports/ports.h"
#include "numbered_name.h"

namespace fs = std::filesystem;

namespace kp28::ports {

namespace {

// COM numbers of each kind of serial node start here; the first two kinds
// have 32 numbers each.
struct SerialKind {
    std::string_view prefix;
    int first_com;
    int count;  // how many node numbers map to COM numbers
};
constexpr SerialKind kSerialKinds[] = {
    {layout::kSerialPrefix, 1, 32},
    {layout::kUsbSerialPrefix, 33, 32},
    {layout::kAcmPrefix, 65, 1000000},
};

bool exists(const std::string& path) {
    std::error_code ec;
    // Follows a link: in a fake tree the node leads to a pseudo-terminal.
    return fs::exists(path, ec);
}

// The type attribute of a ttySn: the kernel lists every possible 8250 port
// and marks those without hardware with type 0.
bool has_uart(const std::string& dir) {
    std::string type;
    if (!read_attribute(dir + "/" + std::string(layout::kTypeAttribute), type)) return false;
    char* end = nullptr;
    const long v = std::strtol(type.c_str(), &end, 10);
    return end != type.c_str() && v != 0;
}

bool driven_by_cdc_acm(const std::string& dir) {
    std::error_code ec;
    const fs::path link = fs::path(dir) / std::string(layout::kDriverLink);
    fs::path target = fs::read_symlink(link, ec);
    if (ec) return false;
    while (!target.empty() && target.filename().empty()) target = target.parent_path();
    return target.filename() == layout::kCdcAcmDriver;
}

}  // namespace

std::optional<int> com_number(std::string_view node_name) {
    for (const auto& kind : kSerialKinds) {
        const long n = numbered_name(node_name, kind.prefix);
        if (n < 0) continue;
        if (n >= kind.count) return std::nullopt;
        return kind.first_com + static_cast<int>(n);
    }
    return std::nullopt;
}

std::optional<std::string> node_name_for_com(int com) {
    for (const auto& kind : kSerialKinds)
        if (com >= kind.first_com && com - kind.first_com < kind.count)
            return std::string(kind.prefix) + std::to_string(com - kind.first_com);
    return std::nullopt;
}

std::string com_name(int com) {
    return "COM" + std::to_string(com);
}
std::string lpt_name(int lpt) {
    return "LPT" + std::to_string(lpt);
}

std::optional<int> com_number_of_name(std::string_view name) {
    const long n = numbered_name(name, "COM");
    if (n <= 0) return std::nullopt;
    return static_cast<int>(n);
}

std::optional<int> lpt_number_of_name(std::string_view name) {
    const long n = numbered_name(name, "LPT");
    if (n <= 0) return std::nullopt;
    return static_cast<int>(n);
}

std::vector<SerialPortEntry> scan_serial_ports(const std::string& root) {
    std::vector<SerialPortEntry> out;
    std::error_code ec;
    const fs::path cls = fs::path(root + "/" + std::string(layout::kTtyClass));
    for (fs::directory_iterator it(cls, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const auto com = com_number(name);
        if (!com) continue;
        const std::string dir = root + "/" + layout::tty_dir(name);
        std::error_code lec;
        if (!fs::exists(fs::path(dir) / std::string(layout::kDeviceLink), lec)) continue;
        if (name.starts_with(layout::kSerialPrefix) && !has_uart(dir)) continue;
        SerialPortEntry e;
        e.name = name;
        e.node = root + "/" + layout::tty_node(name);
        if (!exists(e.node)) continue;
        e.com = *com;
        e.cdc_acm = driven_by_cdc_acm(dir);
        out.push_back(std::move(e));
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.com < b.com; });
    return out;
}

std::vector<ParallelPortEntry> scan_parallel_ports(const std::string& root) {
    std::vector<ParallelPortEntry> out;
    std::error_code ec;
    const fs::path cls = fs::path(root + "/" + std::string(layout::kParallelClass));
    for (fs::directory_iterator it(cls, ec), end; !ec && it != end; it.increment(ec)) {
        const long n = numbered_name(it->path().filename().string(), "lp");
        if (n < 0 || n >= 1000000 - 1) continue;
        ParallelPortEntry e;
        e.lpt = static_cast<int>(n) + 1;
        e.node = root + "/" + layout::parallel_node(static_cast<int>(n));
        if (!exists(e.node)) continue;
        out.push_back(std::move(e));
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.lpt < b.lpt; });
    return out;
}

std::optional<std::string> node_for_com(const std::string& root, int com) {
    for (auto& e : scan_serial_ports(root))
        if (e.com == com) return std::move(e.node);
    return std::nullopt;
}

std::optional<std::string> node_for_lpt(const std::string& root, int lpt) {
    for (auto& e : scan_parallel_ports(root))
        if (e.lpt == lpt) return std::move(e.node);
    return std::nullopt;
}

}  // namespace kp28::ports
