// A fake hardware tree: the sysfs entries and /dev nodes that discovery reads,
// with pseudo-terminals standing in for the device nodes. Used by the virtual
// printer (kp28sim) and by the tests; the tools run their real discovery code
// against it through KP28_SYSROOT.
#pragma once

#include <map>
#include <memory>
#include <string>

namespace kp28 {

// One pseudo-terminal pair. The master is the device's side. A slave descriptor
// stays open for the life of the object so that raw mode, set once here, lasts
// while the tools open and close the node.
class PtyEndpoint {
  public:
    PtyEndpoint();  // throws std::system_error
    ~PtyEndpoint();
    PtyEndpoint(const PtyEndpoint&) = delete;
    PtyEndpoint& operator=(const PtyEndpoint&) = delete;

    int master() const { return master_; }
    const std::string& slave_path() const { return slave_path_; }
    // Closes the device's side: the kernel hangs up the node's side, as when
    // the printer goes away.
    void hang_up();

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
};

struct UsbIdentity {
    std::string vid = "3509";
    std::string pid = "0140";
    std::string serial = "KP28SIM0001";  // empty: no serial attribute
};

class FakeSysroot {
  public:
    // root empty: a fresh directory under $TMPDIR (or /tmp), removed by the
    // destructor. A given root is created if needed and left in place.
    explicit FakeSysroot(std::string root = {});
    ~FakeSysroot();
    FakeSysroot(const FakeSysroot&) = delete;
    FakeSysroot& operator=(const FakeSysroot&) = delete;

    const std::string& root() const { return root_; }
    std::string path(const std::string& rel) const { return root_ + "/" + rel; }

    // usblp printer N: sys/class/usbmisc/lpN and dev/usb/lpN.
    PtyEndpoint& add_usb_printer(int n, const UsbIdentity& id = {});
    // The node disappears (as when the printer restarts) and comes back; the
    // pseudo-terminal behind it stays the same.
    void unplug_usb_node(int n);
    void replug_usb_node(int n);
    bool usb_node_present(int n) const;

    // Serial port NAME (ttySn, ttyUSBn, ttyACMn). cdc_acm: the device's driver
    // link names cdc_acm. type: the value of the type file (ttySn count only
    // with a non-zero type).
    PtyEndpoint& add_serial_port(const std::string& name, bool cdc_acm = false, int type = 4);
    // Parallel port N: sys/class/printer/lpN and dev/lpN.
    PtyEndpoint& add_parallel_port(int n);

    std::string usb_node(int n) const;
    std::string serial_node(const std::string& name) const;
    std::string parallel_node(int n) const;

  private:
    void link_node(const std::string& node, const PtyEndpoint& pty);

    std::string root_;
    bool owned_ = false;
    std::map<std::string, std::unique_ptr<PtyEndpoint>> nodes_;  // keyed by node path
};

}  // namespace kp28
