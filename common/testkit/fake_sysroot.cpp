#include "kp28/fake_sysroot.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "kp28/ports/layout.h"

namespace fs = std::filesystem;
namespace layout = kp28::ports::layout;

namespace kp28 {

namespace {

[[noreturn]] void throw_errno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void write_file(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::trunc);
    if (!out) throw std::system_error(errno, std::generic_category(), "cannot write " + path);
    out << text;
}

void make_symlink(const std::string& target, const std::string& link) {
    fs::create_directories(fs::path(link).parent_path());
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(target, link);
}

}  // namespace

PtyEndpoint::PtyEndpoint() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) throw_errno("posix_openpt");
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        int e = errno;
        ::close(master_);
        errno = e;
        throw_errno("grantpt/unlockpt");
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        int e = errno;
        ::close(master_);
        errno = e;
        throw_errno("ptsname_r");
    }
    slave_path_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        int e = errno;
        ::close(master_);
        errno = e;
        throw_errno("open " + slave_path_);
    }
    termios tio{};
    if (tcgetattr(slave_, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(slave_, TCSANOW, &tio);
    }
}

PtyEndpoint::~PtyEndpoint() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
}

void PtyEndpoint::hang_up() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

FakeSysroot::FakeSysroot(std::string root) : root_(std::move(root)) {
    if (root_.empty()) {
        const char* tmp = getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/kp28root.XXXXXX";
        if (!mkdtemp(templ.data())) throw_errno("mkdtemp");
        root_ = templ;
        owned_ = true;
    } else {
        fs::create_directories(root_);
    }
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
    fs::create_directories(path("sys/class"));
    fs::create_directories(path("dev"));
}

FakeSysroot::~FakeSysroot() {
    std::error_code ec;
    for (auto& [node, pty] : nodes_) fs::remove(node, ec);
    nodes_.clear();
    if (owned_) fs::remove_all(root_, ec);
}

std::string FakeSysroot::usb_node(int n) const {
    return path(layout::usb_printer_node(n));
}
std::string FakeSysroot::serial_node(const std::string& name) const {
    return path(layout::tty_node(name));
}
std::string FakeSysroot::parallel_node(int n) const {
    return path(layout::parallel_node(n));
}

void FakeSysroot::link_node(const std::string& node, const PtyEndpoint& pty) {
    make_symlink(pty.slave_path(), node);
}

PtyEndpoint& FakeSysroot::add_usb_printer(int n, const UsbIdentity& id) {
    const std::string dev = "1-" + std::to_string(n + 1);
    const std::string usbdev = "sys/devices/fakehc/usb1/" + dev;
    const std::string ifc = usbdev + "/" + dev + ":1.0";
    fs::create_directories(path(ifc));
    write_file(path(usbdev + "/idVendor"), id.vid + "\n");
    write_file(path(usbdev + "/idProduct"), id.pid + "\n");
    if (!id.serial.empty()) write_file(path(usbdev + "/serial"), id.serial + "\n");
    const std::string cls = layout::usb_printer_dir(n);
    fs::create_directories(path(cls));
    make_symlink(path(ifc), path(cls + "/" + std::string(layout::kDeviceLink)));

    auto pty = std::make_unique<PtyEndpoint>();
    auto& ref = *pty;
    link_node(usb_node(n), ref);
    nodes_[usb_node(n)] = std::move(pty);
    return ref;
}

void FakeSysroot::unplug_usb_node(int n) {
    std::error_code ec;
    fs::remove(usb_node(n), ec);
}

void FakeSysroot::replug_usb_node(int n) {
    auto it = nodes_.find(usb_node(n));
    if (it != nodes_.end()) link_node(it->first, *it->second);
}

bool FakeSysroot::usb_node_present(int n) const {
    std::error_code ec;
    return fs::is_symlink(usb_node(n), ec);
}

PtyEndpoint& FakeSysroot::add_serial_port(const std::string& name, bool cdc_acm, int type) {
    const std::string devdir = "sys/devices/fakeserial/" + name + "-dev";
    fs::create_directories(path(devdir));
    const std::string drv =
        "sys/bus/fake/drivers/" + std::string(cdc_acm ? layout::kCdcAcmDriver : "serial");
    fs::create_directories(path(drv));
    make_symlink(path(drv), path(devdir + "/driver"));
    const std::string cls = layout::tty_dir(name);
    fs::create_directories(path(cls));
    make_symlink(path(devdir), path(cls + "/" + std::string(layout::kDeviceLink)));
    write_file(path(cls + "/" + std::string(layout::kTypeAttribute)), std::to_string(type) + "\n");

    auto pty = std::make_unique<PtyEndpoint>();
    auto& ref = *pty;
    link_node(serial_node(name), ref);
    nodes_[serial_node(name)] = std::move(pty);
    return ref;
}

PtyEndpoint& FakeSysroot::add_parallel_port(int n) {
    fs::create_directories(path(layout::parallel_dir(n)));
    auto pty = std::make_unique<PtyEndpoint>();
    auto& ref = *pty;
    link_node(parallel_node(n), ref);
    nodes_[parallel_node(n)] = std::move(pty);
    return ref;
}

}  // namespace kp28
