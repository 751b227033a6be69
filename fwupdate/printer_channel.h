// The updater's one path to a printer: a kp28wrap connection to a USB printer,
// whole-frame writes, timed reads, and the wait for a printer that restarts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "kp28wrap.h"
#include "result.h"

namespace fwupdate {

// Time limits of the printer dialogue, in milliseconds. The defaults are the
// product's; each may be replaced through an environment variable (tests use
// this to keep the waits short):
//   KP28FW_QUERY_TIMEOUT_MS   identity queries and the USB identifier read (10000)
//   KP28FW_WRITE_TIMEOUT_MS   every write: a command frame or one chunk of image data (60000)
//   KP28FW_ACK_TIMEOUT_MS     every acknowledgement reply (180000)
//   KP28FW_LEAVE_TIMEOUT_MS   the acknowledgement of a leave-mode command (2000)
//   KP28FW_REBOOT_PERIOD_MS   pause before each attempt to find a restarted printer (5000)
//   KP28FW_REBOOT_LIMIT_MS    how long a restarted printer is waited for (180000)
struct ChannelTimings {
    int query_ms = 10000;
    // A write carries at most one chunk of image data (at most
    // kMaxChunkSize, 1 MiB), which the slowest USB full-speed bulk rate
    // (64000 B/s) moves in 16.4 s; 60 s leaves room for a printer that pauses
    // while it is busy. A printer whose reader has stopped thus ends the job
    // instead of holding it, and its temporary file, for ever.
    int write_ms = 60000;
    // An acknowledgement is read once the bytes it answers have been
    // written (a slow printer slows the sending, not this wait). Even if
    // the whole of the largest image (8 MiB) were still in flight when the
    // last write returns, it would drain at the slowest USB full-speed bulk
    // rate (one 64-byte packet per 1 ms frame, 64000 B/s) in 131 s; 180 s
    // covers that with room for the printer's own check and is the same
    // bound the restart wait uses. A printer that has stopped answering thus
    // ends the job instead of holding the updater for ever.
    int ack_ms = 180000;
    // Nobody looks at the answer to a leave-mode command, and after a restart
    // the printer is no longer in the mode and need not answer at all, so a
    // short wait is enough and keeps a finished job from hanging at its end.
    int leave_ack_ms = 2000;
    int reboot_period_ms = 5000;
    int reboot_limit_ms = 180000;

    static ChannelTimings from_environment();
};

class PrinterChannel {
  public:
    explicit PrinterChannel(ChannelTimings timings = {}) : timings_(timings) {}
    PrinterChannel(const PrinterChannel&) = delete;
    PrinterChannel& operator=(const PrinterChannel&) = delete;

    const ChannelTimings& timings() const { return timings_; }

    // An empty name tries printers 0 to 15 in turn; any other name tries
    // printer 0 only (the name is not matched against anything). Fails with
    // "Printer connection failure".
    Result connect(const std::string& printer_name);
    void disconnect();
    bool connected() const { return door_ != KP28_INVALID_DOOR; }

    // Done only when the whole length was written within the write limit.
    // Gives up early once the run is interrupted (see interruption.h).
    // Failures of these two carry no text: the command in progress says what
    // failed.
    Result write(const void* bytes, std::size_t length);
    // timeout_ms as for Kp28wrap_read (-1: no limit). count receives what
    // was delivered. A limited read gives up early once the run is
    // interrupted.
    Result read(void* buffer, std::size_t length, int timeout_ms, std::size_t& count);

    // Waits up to limit_ms for the printer to come back after a restart:
    // every reboot period it reconnects and runs query_version. Succeeds as
    // soon as a query does; fails with "Waiting for reboot failure" when the
    // limit has passed or the run is interrupted.
    Result wait_for_reboot(int limit_ms, const std::string& printer_name,
                           const std::function<Result()>& query_version);

  private:
    ChannelTimings timings_;
    KP28_DOOR door_ = KP28_INVALID_DOOR;
};

}  // namespace fwupdate
