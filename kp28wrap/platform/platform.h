// The Linux side of the library: everything that talks to the kernel lives
// behind this header, so the rest of kp28wrap includes no OS headers.
//
// Roots are parameters: discovery takes the sysroot prefix (KP28_SYSROOT) from
// its caller, so tests point it at a fake tree whose nodes are pseudo-terminals.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kp28/ports/ports.h"

namespace kp28wrap::platform {

// usblp printers under root/sys/class/usbmisc, ascending N (the shared
// hardware look-ups, taken into the library statically).
using kp28::ports::scan_usb_printers;
using kp28::ports::UsbPrinterEntry;

// Outcome of one transfer.
enum class IoStatus {
    ok,         // data moved (possibly 0 bytes for a read)
    timed_out,  // the wait ended before the transfer was complete
    failed,     // the device refused
    cancelled,  // the file was cancelled (closed) while the transfer waited
};

// An open device node plus a wake-up descriptor. Transfers wait in poll() on
// both, so cancel() ends every wait at once, now and later: the file is then
// dead and is closed when its last user lets go of it. Sharing ownership this
// way means a descriptor number is never reused under a transfer that is still
// running on another thread.
class DeviceFile {
  public:
    // O_RDWR|O_NONBLOCK|O_NOCTTY|O_CLOEXEC; terminal settings are never touched.
    // nullptr when the node cannot be opened.
    static std::shared_ptr<DeviceFile> open(const std::string& node);
    ~DeviceFile();
    DeviceFile(const DeviceFile&) = delete;
    DeviceFile& operator=(const DeviceFile&) = delete;

    int fd() const { return fd_; }

    // Waits (wait_ms < 0: without limit) until some bytes can be read, then
    // reads what is there, at most len. got receives the byte count.
    IoStatus read_some(void* buf, size_t len, int wait_ms, size_t& got);
    // Writes all of buf within wait_ms (< 0: without limit). put receives the
    // bytes the device accepted, also when the time runs out; nothing is left
    // queued that still refers to buf.
    IoStatus write_all(const void* buf, size_t len, int wait_ms, size_t& put);

    // usblp soft reset; false when the node refuses it (any non-usblp node).
    bool soft_reset();
    // usblp port status byte into out (at most max bytes); false on failure.
    bool port_status(void* out, size_t max, size_t& got);

    void cancel();
    bool cancelled() const;
    // Closes now; true when close() succeeded. Later calls return true.
    bool close();

  private:
    DeviceFile(int fd, int wake_fd) : fd_(fd), wake_fd_(wake_fd) {}
    int wait_for(short events, int64_t deadline_ms, bool unlimited);

    int fd_;
    int wake_fd_;
    std::atomic<bool> cancelled_{false};
};

// Debugger output: syslog at debug level with ident "kp28wrap", and the file
// named by KP28WRAP_DEBUG_OUT ("stderr" for standard error), one line each.
void debug_output(const char* line);
// False when no line would reach anyone (no syslog socket, no
// KP28WRAP_DEBUG_OUT): callers may then skip formatting it.
bool debug_output_active();
// Drops the syslog connection (library unload).
void debug_output_shutdown();

// The address the library is loaded at (for the load message).
void* module_base();

}  // namespace kp28wrap::platform
