// A bench for end-to-end runs of Kp28FWUpdate: a fake sysroot with virtual
// printers on USB, a private working directory, and the updater run as a child
// with KP28_SYSROOT pointing at the sysroot.
#pragma once

#include <kp28/fake_sysroot.h>
#include <kp28sim/virtual_printer.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"

namespace fwtest {

struct RunResult {
    ChildResult child;
    // The log file's messages with their "(PID=..)<time stamp> " heads checked
    // and removed.
    std::vector<std::string> log;
    // Console lines (standard output split at line ends).
    std::vector<std::string> console;
};

class UpdaterRig {
  public:
    UpdaterRig();
    ~UpdaterRig();
    UpdaterRig(const UpdaterRig&) = delete;
    UpdaterRig& operator=(const UpdaterRig&) = delete;

    // A printer on dev/usb/lp<lp> only, coming back 300 ms after a restart.
    static kp28sim::PrinterConfig usb_printer(int lp = 0);
    kp28sim::VirtualPrinter& add_printer(kp28sim::PrinterConfig config = usb_printer());

    const std::string& workdir() const { return workdir_; }
    kp28::FakeSysroot& sysroot() { return sysroot_; }
    void write_file(const std::string& name, const std::string& bytes) const;
    std::string path(const std::string& name) const { return workdir_ + "/" + name; }
    // Names in the working directory that start with prefix.
    std::vector<std::string> files_starting_with(const std::string& prefix) const;

    // Timings the runs get unless a test replaces them: short reboot waits and
    // reply limits so that failure cases end quickly.
    std::map<std::string, std::string> env;

    // Runs the updater with args; the log file is "log.txt" in the working
    // directory when args name it.
    RunResult run(const std::vector<std::string>& args,
                  std::chrono::milliseconds deadline = std::chrono::seconds(40),
                  const ChildOptions& options = {});

  private:
    kp28::FakeSysroot sysroot_;
    std::string workdir_;
    std::vector<std::unique_ptr<kp28sim::VirtualPrinter>> printers_;
};

// Reads a whole file as bytes ("" when missing).
std::string read_file(const std::string& path);
std::vector<std::uint8_t> to_bytes(const std::string& s);

}  // namespace fwtest
