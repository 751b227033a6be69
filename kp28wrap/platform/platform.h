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
    // nullptr when the node cannot be opened; os_error then holds the errno.
    static std::shared_ptr<DeviceFile> open(const std::string& node, int& os_error);
    ~DeviceFile();
    DeviceFile(const DeviceFile&) = delete;
    DeviceFile& operator=(const DeviceFile&) = delete;

    int fd() const { return fd_; }

    // Waits (wait_ms < 0: without limit) until some bytes can be read, then
    // reads what is there, at most len. got receives the byte count. A device
    // that hung up (end of file) has failed: it will never deliver again.
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

// The system's text for an errno value ("Permission denied").
const char* os_error_text(int error);

// Debugger output: syslog at debug level with ident "kp28wrap", and a copy to
// copy_to (a file name, or "stderr" for standard error; null or empty: none),
// one line each.
void debug_output(const char* line, const char* copy_to);
// Whether a syslog socket takes the lines. Costs no system call while the
// answer is known: a missing socket is looked for again once a second.
bool syslog_available();
// Drops the syslog connection (library unload).
void debug_output_shutdown();

// Appends text to the log file name, first renaming a file larger than limit
// bytes to "name.old" (an older ".old" is removed). An advisory lock on the
// file serialises the size check, the rotation and the append across threads
// and processes, so writers sharing a log never rotate it twice for one
// crossing of the limit. follow_links false: a symbolic link at name is
// neither written through nor rotated (the file stays unwritten). A file that
// cannot be opened is skipped; a refused rotation leaves the file growing.
void append_log_file(const std::string& name, const std::string& text, long long limit,
                     bool follow_links);

// A number that changes whenever the process environment is changed through
// setenv, putenv or unsetenv (each of them replaces or moves an entry of the
// environment array). Computed from the array alone, without looking up any
// variable; an in-place edit of a string handed to putenv goes unnoticed.
uint64_t environment_fingerprint();

// The address the library is loaded at (for the load message).
void* module_base();

}  // namespace kp28wrap::platform
