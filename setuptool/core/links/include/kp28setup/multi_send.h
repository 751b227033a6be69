// One setup file to many network printers at once. Each printer gets its own
// connection with its own limits, so one that does not answer, refuses or
// stops reading holds up nobody but itself.
//
// A printer has taken the file when it closes the connection after the end
// of the file: the whole file is written, our side is shut for writing, and
// the printer's end of the connection comes back within the write limit.
// Bytes that merely reached the socket buffers prove nothing (a 2 KiB file
// fits in them even when nobody reads it), and a retry list built on them
// would leave silent printers out.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "kp28setup/senders.h"
#include "kp28setup/stop_source.h"

namespace kp28setup {

inline constexpr std::size_t kDefaultParallelSends = 8;

struct PrinterSendResult {
    HostPort to;
    bool ok = false;
    // Whether a connection was attempted (false: the run was stopped first).
    bool started = false;
    // Bytes handed to the connection: the whole file once it went out.
    std::size_t bytes_sent = 0;
    double seconds = 0;
    std::string reason;  // empty when ok
};

struct MultiSendLimits {
    std::chrono::milliseconds connect{12000};
    // The whole file and the printer's close, from the first byte.
    std::chrono::milliseconds write{60000};
};

// One printer, on the calling thread. `stop` (may be null) ends the connect
// and the wait for the printer's close at once, never the file's bytes.
PrinterSendResult send_file_to_printer(std::span<const std::uint8_t> file, const HostPort& to,
                                       const MultiSendLimits& limits, StopSource* stop);

struct MultiSendOptions {
    std::size_t parallel = kDefaultParallelSends;  // at least 1
    MultiSendLimits limits;
    StopSource* stop = nullptr;
    // Called once per printer as it finishes (also for those the stop left
    // unsent), one call at a time, from a sending thread. done counts the
    // printers finished so far, this one included.
    std::function<void(const PrinterSendResult&, std::size_t done, std::size_t total)> on_done;
};

// The file to every printer, at most options.parallel at a time, in the
// order given; the results in that order. After a stop no connection starts;
// the printers not begun are reported "not sent: interrupted".
std::vector<PrinterSendResult> send_file_to_printers(std::span<const std::uint8_t> file,
                                                     const std::vector<HostPort>& printers,
                                                     const MultiSendOptions& options);

// "ADDR" for the printer port, else "ADDR:PORT" ("[v6]:PORT"): what a user
// types back to reach the same printer.
std::string printer_address_text(const HostPort& to);

// The address in its one written form ("::1" and "0:0::1" are one printer),
// or empty when the text is no numeric IPv4 or IPv6 address.
std::string canonical_address(const std::string& host);

}  // namespace kp28setup
