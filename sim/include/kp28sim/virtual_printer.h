// The virtual printer: one KP28 or KP28Plus that serves its links (a usblp
// node, a serial port, a parallel port, a TCP port on loopback) from a fake
// sysroot, speaks the normal-mode command frames and the setup-mode letters,
// misbehaves on request and records every byte both ways.
//
// Threads: start() launches one worker thread that owns all links and all
// printer state changes; it waits in poll() on the links, the listening
// socket and a wake-up eventfd, with a time-out taken from the next timer
// (restart, line-rate pacing). Every public method may be called from any
// thread; stop() (and the destructor) wakes the worker and joins it.
//
// Intended use from a gtest: build a kp28::FakeSysroot, construct the printer,
// start() it, run the tool under test as a child with KP28_SYSROOT set to the
// sysroot's root, then assert on the transcript and the accessors, using
// wait_until() for anything that happens asynchronously.
#pragma once

#include <kp28/fake_sysroot.h>
#include <kp28/protocol/model.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kp28sim {

using kp28::kNvmSize;
using kp28::Model;

// What the printer reports as its firmware version after a firmware load.
enum class VersionRule {
    // The 5 characters after the first "KP28FW:" in the loaded image (the
    // 256-byte header first, then the data) when all 5 are printable ASCII;
    // otherwise as Increment.
    FromImage,
    // The old version with its last decimal digit raised by one, carrying into
    // the digits before it ("1.09A" -> "1.10A", "9.99Z" -> "0.00Z"); a version
    // without digits gets its last character raised by one (printable ASCII,
    // wrapping '~' to '!').
    Increment,
    // The old version: the load "did not take".
    Keep,
};

// Misbehaviour on request. All faults take effect at run time (set_faults).
struct Faults {
    // Reads everything, answers nothing, acts on nothing.
    bool silent = false;
    // Enter DLL / USB-ID mode is answered with token 0; the mode is not entered.
    bool zero_token = false;
    // Acknowledgements inside a mode (not those of the enter commands) carry
    // a token different from the one handed out (the next one in sequence).
    // The commands themselves are carried out.
    bool wrong_token = false;
    // Acknowledgements inside a mode carry this byte instead of the token
    // (e.g. 0x05); otherwise as wrong_token, which it takes precedence over.
    std::optional<std::uint8_t> ack_byte;
    // "r" sends a checksum that does not match the image; "w" echoes a
    // checksum that differs from the one received (and the image is not
    // stored); a load-setup frame is refused as if its checksum were wrong.
    bool bad_nvm_checksum = false;
    // A good "w" is echoed and counted as written, but the byte at this
    // offset is stored inverted: a printer whose memory does not keep what
    // it confirmed.
    std::optional<std::size_t> nvm_store_flips_byte;
    // "r" announces 2049 bytes and sends 2049 (the image and one extra byte).
    bool nvm_length_2049 = false;
    // After write flash / reboot / power cycle the printer comes back after
    // this time instead of PrinterConfig::reboot_downtime.
    std::optional<std::chrono::milliseconds> comeback_after;
    // After write flash / reboot the printer does not come back (until
    // power_cycle() or enter_setup_mode()).
    bool never_comes_back = false;
    // Once this many bytes have crossed the links (both directions, counted
    // from the moment the fault is set), every link goes dead: the rest of a
    // reply is not sent, input is discarded, TCP connections are closed and
    // the USB node disappears. Clearing the fault plugs the cable back in.
    std::optional<std::size_t> cut_after_bytes;
    // Once the printer has read this many bytes from the USB node (counted
    // from the moment the fault is set), it stops reading that node: the
    // node's buffer fills and a writer finds no room. Replies already queued
    // are still sent; clearing the fault lets the printer read again.
    std::optional<std::size_t> stall_after_bytes;
    // Every reply is replaced by as many pseudo-random bytes (never starting
    // with the frame prefix's first byte).
    bool garbage = false;
    // Serial links move bytes at the line rate set on the port (speed / 10
    // bytes a second: 19200 baud moves 1920 bytes a second), both ways.
    bool pace_line_rate = false;
    // TCP connections are read at this many bytes a second: a printer that
    // takes its time over a file (a whole setup file in about a second at
    // 2059), and closes the connection only once it has read it all.
    std::optional<std::size_t> tcp_bytes_per_second;
};

struct PrinterConfig {
    Model model = Model::KP28Plus;
    // Up to 17 characters. Empty: default_product_name(model, usb_id_feature).
    std::string product_name;
    // Whether the printer answers the USB-ID mode frames, and (for the
    // default name) whether its name passes the tools' feature check.
    bool usb_id_feature = true;
    // Exactly 5 characters.
    std::string firmware_version = "1.00A";
    // Up to 32 characters; sent zero-padded to 32 bytes.
    std::string usb_id = "KP28SIM-USBID-000000000000000001";
    // 2048 bytes each; empty: default_nvm(model) (the current image is the
    // defaults with a few settings changed, so a restore is visible).
    std::vector<std::uint8_t> nvm;
    std::vector<std::uint8_t> mfg_defaults;
    // The reply to "m", CR LF lines ending with "Z", TAB, CR, LF.
    // Empty: default_description(model).
    std::string description;
    // How long the printer is away after write flash, reboot or power cycle.
    std::chrono::milliseconds reboot_downtime{2000};
    VersionRule version_rule = VersionRule::FromImage;
    // Power on with ON_LINE held: start in setup mode.
    bool start_in_setup_mode = false;
    Faults faults;

    // Links. Nodes are made in the sysroot by start().
    std::optional<int> usb_lp = 0;  // dev/usb/lpN
    kp28::UsbIdentity usb_identity;
    std::optional<std::string> serial = "ttyS0";  // ttySn, ttyUSBn, ttyACMn
    bool serial_cdc_acm = false;                  // the serial port is the printer's USB CDC port
    std::optional<int> parallel_lp = 0;           // dev/lpN
    std::optional<std::uint16_t> tcp_port = 0;    // 0: an ephemeral port
    std::string tcp_address = "127.0.0.1";        // a loopback address (127.0.0.0/8) only

    // Appended, one line per transfer, as it happens (see Transcript below).
    std::string transcript_file;
    // Keep the transcript and the events in memory for transcript(), bytes()
    // and events(). A long-running program turns this off and relies on the
    // file and on_event.
    bool keep_transcript = true;
    // Called from the worker thread with one line per thing the printer does
    // ("entered DLL mode, token 0x07", "restarting, back in 200 ms", ...).
    std::function<void(const std::string&)> on_event;
};

enum class LinkKind { Usb, Serial, Parallel, Tcp };
enum class Direction { ToPrinter, FromPrinter };

struct TranscriptEntry {
    std::chrono::steady_clock::time_point when;
    double seconds = 0;  // since start()
    LinkKind kind = LinkKind::Usb;
    std::string link;  // "usb:lp0", "serial:ttyS0", "parallel:lp0", "tcp:1" (connection number)
    Direction direction = Direction::ToPrinter;
    unsigned speed = 0;  // serial: the baud rate set on the port at the time; else 0
    std::vector<std::uint8_t> bytes;
};

// One line of the transcript file: seconds, link, "in" (to the printer) or
// "out", "@speed" for serial, then the bytes in upper-case hex.
// Example: "0.012345 serial:ttyS0 in @19200 6E" (an "n" in setup mode)
std::string format_transcript_line(const TranscriptEntry& e);

// What the printer last received with the image size and image data commands.
struct LoadedImage {
    std::uint32_t size = 0;                               // S of the image size command
    std::optional<std::array<std::uint8_t, 256>> header;  // with the header variant
    std::vector<std::uint8_t> data;  // raw bytes received after the data command
    bool complete = false;           // all S bytes arrived and were acknowledged
};

std::string default_product_name(Model model, bool usb_id_feature);
std::vector<std::uint8_t> default_nvm(Model model);
std::string default_description(Model model);
// The tools' USB-identifier feature check on a product name.
bool passes_usb_id_check(const std::string& name);
// The version after a load under a rule (exposed for the program's help and tests).
std::string version_after_load(VersionRule rule, const std::string& old_version,
                               const LoadedImage& image);

class VirtualPrinter {
  public:
    // The sysroot must outlive the printer. Nodes are made by start(); several
    // printers may share one sysroot (start them from one thread).
    VirtualPrinter(kp28::FakeSysroot& sysroot, PrinterConfig config);
    ~VirtualPrinter();  // stop()
    VirtualPrinter(const VirtualPrinter&) = delete;
    VirtualPrinter& operator=(const VirtualPrinter&) = delete;

    // Makes the nodes, opens the TCP listener and starts the worker.
    // Throws std::system_error / std::invalid_argument on failure.
    void start();
    // Joins the worker, closes TCP connections; idempotent. The nodes stay
    // until the sysroot is destroyed. A stopped printer does not start again.
    void stop();

    // Where the links are (empty / 0 when not served).
    std::string usb_node() const;
    std::string serial_node() const;
    std::string parallel_node() const;
    std::uint16_t tcp_port() const;

    // Operator actions. Power on with ON_LINE held: after the restart the
    // printer is in setup mode (serial at 19200 only). power_cycle(): a plain
    // restart into normal mode. Both take the configured downtime (or the
    // comeback fault) and both end a "never comes back".
    void enter_setup_mode();
    void power_cycle();

    void set_faults(const Faults& faults);
    Faults faults() const;

    // State.
    const PrinterConfig& config() const { return config_; }  // as constructed
    std::string firmware_version() const;
    std::string product_name() const;
    std::string usb_id() const;
    std::vector<std::uint8_t> nvm() const;
    bool in_setup_mode() const;
    bool away() const;     // restarting (or never coming back)
    int restarts() const;  // completed restarts (came back)
    LoadedImage last_image() const;
    int setup_frames_applied() const;  // load-setup frames accepted
    int nvm_writes() const;            // "w" transfers accepted

    // The transcript, and the bytes of one direction on links of one kind,
    // concatenated in order.
    std::vector<TranscriptEntry> transcript() const;
    std::vector<std::uint8_t> bytes(LinkKind kind, Direction direction) const;
    std::vector<std::string> events() const;

    // Serial speeds are sampled when the printer reads the bytes: a client that
    // changes the speed lets its earlier bytes be read first (as the tools'
    // pauses do), e.g. by waiting until bytes() shows them.

    // Waits until pred() holds or the time-out passes; pred is evaluated
    // without the printer's lock held (it may call the accessors) each time
    // the printer's state or transcript changes. Returns pred()'s last value.
    bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout) const;

    struct Impl;

  private:
    PrinterConfig config_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kp28sim
