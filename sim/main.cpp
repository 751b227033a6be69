// kp28sim: one virtual KP28 / KP28Plus printer in a fake sysroot and on a
// loopback TCP port, for trying the tools without hardware.
#include <arpa/inet.h>
#include <kp28/ports/layout.h>
#include <kp28/protocol/frame.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "kp28sim/virtual_printer.h"

namespace fs = std::filesystem;
using namespace kp28sim;

namespace {

const char* kHelp = R"(Usage: kp28sim [OPTIONS]

Plays one KP28 or KP28Plus printer on every link the service tools use: a USB
printer node, a serial port (or the printer's USB CDC serial port), a parallel
port, all made in a fake sysroot, and a TCP port on loopback. Point the tools
at it with KP28_SYSROOT=<sysroot>.

Printer:
  --model KP28|KP28Plus     model (default KP28Plus). Selects the byte order of
                            the NVM length, the NVM checksum and two-byte
                            parameters: KP28Plus least significant byte first,
                            KP28 most significant first.
  --name TEXT               product name, up to 17 characters (default
                            "KP28plus PB U2" / "KP28 PB-I U2")
  --no-usb-id-feature       the printer ignores the USB-ID mode frames, and the
                            default name fails the tools' feature check
                            ("KP28 PB-I S2": no U at position 10)
  --fw-version VVVVV        firmware version, exactly 5 characters (default 1.00A)
  --usb-id TEXT             USB identifier, up to 32 characters
  --nvm FILE                the NVM image (2048 bytes) instead of the built-in one
  --mfg FILE                the manufacturing defaults (2048 bytes)
  --description FILE        the parameter description sent after "m"
  --downtime MS             how long a restart takes (default 2000)
  --version-rule RULE       the firmware version after a firmware load:
                              image     (default) the 5 characters that follow
                                        the first "KP28FW:" in the loaded image
                                        (256-byte header first, then the data)
                                        when all are printable ASCII, otherwise
                                        as "increment"
                              increment the old version with its last decimal
                                        digit raised by one, carrying into the
                                        digits before it (1.09A -> 1.10A,
                                        9.99Z -> 0.00Z); without digits the last
                                        character is raised by one
                              keep      the old version (a load that does not take)
                            A plain reboot always keeps the old version.
  --setup                   power on with ON_LINE held: start in setup mode

Links (all in the sysroot; each can be turned off):
  --sysroot DIR             the fake sysroot (created if needed; default:
                            $KP28_SYSROOT when it is set and is not "/", else a
                            new directory under $TMPDIR or /tmp)
  --usb N | --no-usb        USB printer node dev/usb/lpN (default 0)
  --serial NAME | --no-serial
                            serial port dev/NAME: ttySn, ttyUSBn or ttyACMn
                            (default ttyS0)
  --cdc                     the serial port is the printer's USB CDC port: its
                            driver is cdc_acm (default name ttyACM0)
  --parallel N | --no-parallel
                            parallel port dev/lpN (default 0)
  --tcp PORT | --no-tcp     TCP port (default 9100; 0: any free port)
  --tcp-address ADDR        where to listen: an IPv4 loopback address only
                            (default 127.0.0.1)
  --usb-pid PPPP            the USB product id in sysfs (4 hex digits; default 0140)
  --usb-serial TEXT         the USB serial attribute (default KP28SIM0001;
                            empty: no serial attribute)

  Normal mode answers on USB, parallel, TCP and on the serial port when the
  other side set it to 9600 baud; setup mode answers only on the serial port
  at 19200 baud. The speed is the one the tool set on its end of the
  pseudo-terminal.

What the printer does:
  Normal mode: command frames @PREFIX@, length (16-bit little-endian),
  payload. Product name (reply @PREFIX@ 01, the name, a 0 when shorter than
  17), firmware version (@PREFIX@ 02 and 5 characters), DLL mode and USB-ID
  mode (enter: a new non-zero token; every later command carries it and every
  acknowledgement echoes it), image size with or without the 256-byte header,
  image data (exactly the announced number of raw bytes follow; the
  acknowledgement comes after the last), write flash and reboot (no answer;
  the printer restarts), read identifier (38 bytes, zero-padded) and write
  identifier (length field 3, then the text and a 0; more than 32 characters
  are refused without an answer), and the load-setup frame (class 0x0D: a
  2048-byte image and its NVM checksum in the model's byte order; applied
  when the checksum matches, never answered). Bytes outside frames are print
  data and are dropped.
  Refusals: a command of a mode that is not open, or of an unknown shape, gets
  no answer; a command carrying the wrong token is not carried out and is
  answered with the printer's own token. Leaving a mode that is not open (as
  the updater does after a reboot) is acknowledged with the token it carries.
  Restart (write flash, reboot, power cycle): the USB node disappears, TCP
  connections close, replies nobody read are dropped, nothing is answered;
  after the downtime the node comes back and the printer answers again.
  Setup mode (serial at 19200 only): "n" the first 11 characters of the
  product name, blank-padded; "r" the length (2 bytes), the 2048-byte image
  and its checksum, all in the model's byte order; "w" takes 2048 bytes and
  4 checksum bytes and echoes the checksum when it matches (the image is then
  stored), otherwise echoes the checksum it computed and keeps the old image;
  "R" restores the manufacturing defaults (no answer); "m" sends the
  parameter description; "g" returns to normal mode. Other letters are
  ignored.

Faults (the printer misbehaves on purpose):
  --silent                  reads everything, answers nothing
  --zero-token              enter DLL / USB-ID mode answered with token 0
  --wrong-token             acknowledgements inside a mode carry another token
  --ack-byte HEX            acknowledgements inside a mode carry this byte (e.g. 05)
  --bad-nvm-crc             wrong NVM checksum after "r", wrong echo after "w",
                            load-setup frames refused
  --nvm-length-2049         "r" announces and sends 2049 bytes
  --comeback-after SEC      a restart takes SEC seconds (decimals allowed)
  --never-come-back         after write flash or reboot the printer stays away
  --cut-after N             every link goes dead after N bytes (both ways,
                            counted from when the fault is set): the reply in
                            flight stops, the USB node disappears, TCP
                            connections close; "fault clear" plugs it back
  --stall-after N           the printer stops reading the USB node after N
                            bytes from it (counted from when the fault is
                            set): the node's buffer fills and writers wait;
                            "fault clear" lets it read again
  --garbage                 every answer is replaced by random bytes
  --pace                    serial links move bytes at the line rate (speed/10
                            bytes a second: 19200 baud is 1920 bytes a second)

Output:
  --transcript FILE         append every transfer: seconds since start, link,
                            "in" (to the printer) or "out", @speed on serial,
                            the bytes in hex
  --json                    print the nodes as one JSON object, then one JSON
                            object per event
  -h, --help                this text

Operator (while running):
  SIGUSR1, or the line "setup" on standard input: switch the printer off and on
      with ON_LINE held (setup mode)
  SIGUSR2, or the line "power" on standard input: switch it off and on
  the line "fault" followed by fault options (as above) and/or "clear":
      change the faults of the running printer, e.g. "fault clear --silent";
      "fault clear" alone ends every fault
  SIGINT, SIGTERM, SIGHUP, or the line "quit": stop the printer and remove the
      nodes it made (and the sysroot, when kp28sim created it). The end of
      standard input is ignored, so the program may run in the background.
)";

// The help shows the frame prefix as the protocol library defines it.
std::string help_text() {
    std::string prefix;
    for (const std::uint8_t b : kp28::kFramePrefix) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%s%02X", prefix.empty() ? "" : " ", b);
        prefix += hex;
    }
    std::string text = kHelp;
    for (std::size_t at; (at = text.find("@PREFIX@")) != std::string::npos;)
        text.replace(at, 8, prefix);
    return text;
}

struct Options {
    PrinterConfig cfg;
    std::string sysroot;
    bool json = false;
};

[[noreturn]] void usage_error(const std::string& msg) {
    std::fprintf(stderr, "kp28sim: %s\n(kp28sim --help shows the options)\n", msg.c_str());
    std::exit(2);
}

std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) usage_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

long to_number(const std::string& opt, const std::string& v, int base = 10) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(v.c_str(), &end, base);
    if (v.empty() || *end || errno || n < 0)
        usage_error(opt + " needs a number, not \"" + v + "\"");
    return n;
}

bool parse_number(const std::string& v, int base, long max, long& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtol(v.c_str(), &end, base);
    return !v.empty() && !*end && !errno && out >= 0 && out <= max;
}

// One fault option at args[i] (its value, if any, at i + 1, and i moved past
// it). 1: taken; 0: not a fault option; -1: a bad value, err says why.
// Shared by the command line and the "fault" command on standard input.
int fault_option(const std::vector<std::string>& args, std::size_t& i, Faults& f,
                 std::string& err) {
    const std::string& a = args[i];
    auto value = [&](std::string& v) {
        if (i + 1 >= args.size()) {
            err = a + " needs a value";
            return false;
        }
        v = args[++i];
        return true;
    };
    std::string v;
    long n = 0;
    if (a == "--silent")
        f.silent = true;
    else if (a == "--zero-token")
        f.zero_token = true;
    else if (a == "--wrong-token")
        f.wrong_token = true;
    else if (a == "--bad-nvm-crc")
        f.bad_nvm_checksum = true;
    else if (a == "--nvm-length-2049")
        f.nvm_length_2049 = true;
    else if (a == "--never-come-back")
        f.never_comes_back = true;
    else if (a == "--garbage")
        f.garbage = true;
    else if (a == "--pace")
        f.pace_line_rate = true;
    else if (a == "--ack-byte") {
        if (!value(v)) return -1;
        if (!parse_number(v, 16, 255, n)) {
            err = "--ack-byte takes one byte in hex";
            return -1;
        }
        f.ack_byte = static_cast<std::uint8_t>(n);
    } else if (a == "--comeback-after") {
        if (!value(v)) return -1;
        char* end = nullptr;
        const double sec = std::strtod(v.c_str(), &end);
        if (v.empty() || *end || !(sec >= 0 && sec <= 86400)) {
            err = "--comeback-after takes seconds";
            return -1;
        }
        f.comeback_after = std::chrono::milliseconds(static_cast<long long>(sec * 1000));
    } else if (a == "--cut-after") {
        if (!value(v)) return -1;
        if (!parse_number(v, 10, 0x7FFFFFFF, n)) {
            err = "--cut-after takes a number of bytes";
            return -1;
        }
        f.cut_after_bytes = static_cast<std::size_t>(n);
    } else if (a == "--stall-after") {
        if (!value(v)) return -1;
        if (!parse_number(v, 10, 0x7FFFFFFF, n)) {
            err = "--stall-after takes a number of bytes";
            return -1;
        }
        f.stall_after_bytes = static_cast<std::size_t>(n);
    } else {
        return 0;
    }
    return 1;
}

Options parse(int argc, char** argv) {
    Options o;
    auto& c = o.cfg;
    c.tcp_port = 9100;
    c.keep_transcript = false;  // a long run keeps nothing in memory; --transcript writes a file
    bool serial_named = false;
    const std::vector<std::string> args(argv, argv + argc);
    std::string err;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string a = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) usage_error(a + " needs a value");
            return args[++i];
        };
        if (a == "-h" || a == "--help") {
            std::fputs(help_text().c_str(), stdout);
            std::exit(0);
        } else if (a == "--model") {
            const std::string v = value();
            if (v == "KP28" || v == "kp28")
                c.model = Model::KP28;
            else if (v == "KP28Plus" || v == "kp28plus" || v == "KP28plus")
                c.model = Model::KP28Plus;
            else
                usage_error("--model is KP28 or KP28Plus");
        } else if (a == "--name")
            c.product_name = value();
        else if (a == "--no-usb-id-feature")
            c.usb_id_feature = false;
        else if (a == "--fw-version")
            c.firmware_version = value();
        else if (a == "--usb-id")
            c.usb_id = value();
        else if (a == "--nvm")
            c.nvm = read_file(value());
        else if (a == "--mfg")
            c.mfg_defaults = read_file(value());
        else if (a == "--description") {
            auto d = read_file(value());
            c.description.assign(d.begin(), d.end());
        } else if (a == "--downtime")
            c.reboot_downtime = std::chrono::milliseconds(to_number(a, value()));
        else if (a == "--version-rule") {
            const std::string v = value();
            if (v == "image")
                c.version_rule = VersionRule::FromImage;
            else if (v == "increment")
                c.version_rule = VersionRule::Increment;
            else if (v == "keep")
                c.version_rule = VersionRule::Keep;
            else
                usage_error("--version-rule is image, increment or keep");
        } else if (a == "--setup")
            c.start_in_setup_mode = true;
        else if (a == "--sysroot")
            o.sysroot = value();
        else if (a == "--usb")
            c.usb_lp = static_cast<int>(to_number(a, value()));
        else if (a == "--no-usb")
            c.usb_lp.reset();
        else if (a == "--serial") {
            c.serial = value();
            serial_named = true;
        } else if (a == "--no-serial")
            c.serial.reset();
        else if (a == "--cdc")
            c.serial_cdc_acm = true;
        else if (a == "--parallel")
            c.parallel_lp = static_cast<int>(to_number(a, value()));
        else if (a == "--no-parallel")
            c.parallel_lp.reset();
        else if (a == "--tcp") {
            const long p = to_number(a, value());
            if (p > 65535) usage_error("--tcp takes a port number");
            c.tcp_port = static_cast<std::uint16_t>(p);
        } else if (a == "--no-tcp")
            c.tcp_port.reset();
        else if (a == "--tcp-address")
            c.tcp_address = value();
        else if (a == "--usb-pid") {
            c.usb_identity.pid = value();
            const auto& v = c.usb_identity.pid;
            if (v.size() != 4 || v.find_first_not_of("0123456789abcdef") != std::string::npos)
                usage_error("--usb-pid takes 4 lower-case hex digits");
        } else if (a == "--usb-serial")
            c.usb_identity.serial = value();
        else if (int r = fault_option(args, i, c.faults, err); r != 0) {
            if (r < 0) usage_error(err);
        } else if (a == "--transcript")
            c.transcript_file = value();
        else if (a == "--json")
            o.json = true;
        else
            usage_error("unknown option " + a);
    }
    if (o.sysroot.empty()) {
        // The tools find their hardware through KP28_SYSROOT; a printer started
        // from the same shell joins them there, but never in the real root.
        const char* env = std::getenv("KP28_SYSROOT");
        std::string r = env ? env : "";
        while (!r.empty() && r.back() == '/') r.pop_back();
        o.sysroot = r;
    }
    if (c.serial_cdc_acm && !serial_named && c.serial) c.serial = "ttyACM0";
    if (c.serial) {
        const std::string& n = *c.serial;
        const bool ok =
            (n.rfind("ttyS", 0) == 0 || n.rfind("ttyUSB", 0) == 0 || n.rfind("ttyACM", 0) == 0) &&
            n.find('/') == std::string::npos;
        if (!ok) usage_error("--serial takes ttySn, ttyUSBn or ttyACMn");
    }
    return o;
}

std::string describe(const Faults& f) {
    std::string out;
    auto add = [&](const std::string& w) { out += (out.empty() ? "" : " ") + w; };
    if (f.silent) add("--silent");
    if (f.zero_token) add("--zero-token");
    if (f.wrong_token) add("--wrong-token");
    if (f.ack_byte) {
        char b[8];
        std::snprintf(b, sizeof b, "%02x", *f.ack_byte);
        add(std::string("--ack-byte ") + b);
    }
    if (f.bad_nvm_checksum) add("--bad-nvm-crc");
    if (f.nvm_length_2049) add("--nvm-length-2049");
    if (f.comeback_after)
        add("--comeback-after " + std::to_string(f.comeback_after->count() / 1000.0));
    if (f.never_comes_back) add("--never-come-back");
    if (f.cut_after_bytes) add("--cut-after " + std::to_string(*f.cut_after_bytes));
    if (f.stall_after_bytes) add("--stall-after " + std::to_string(*f.stall_after_bytes));
    if (f.garbage) add("--garbage");
    if (f.pace_line_rate) add("--pace");
    return out.empty() ? "none" : out;
}

std::string json_escape(const std::string& s) {
    std::string out;
    for (unsigned char ch : s) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", ch);
            out += buf;
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out;
}

// The printer's events come from its worker thread; they wait until the
// description of the nodes is out, which is always the first thing printed.
std::mutex out_mutex;
bool intro_done = false;               // guarded by out_mutex
std::vector<std::string> held_events;  // guarded by out_mutex

void print_event(bool json, const std::string& what) {
    if (json)
        std::printf("{\"event\":\"%s\"}\n", json_escape(what).c_str());
    else
        std::printf("kp28sim: %s\n", what.c_str());
}

void say(bool json, const std::string& what) {
    std::lock_guard lk(out_mutex);
    if (!intro_done) {
        held_events.push_back(what);
        return;
    }
    print_event(json, what);
    std::fflush(stdout);
}

// Removes the sysfs entries the printer's nodes were announced by, so that
// tools started after the printer ends do not find stale ports. The device
// nodes themselves go with the sysroot object.
void remove_entries(const kp28::FakeSysroot& root, const PrinterConfig& c) {
    std::error_code ec;
    namespace layout = kp28::ports::layout;
    if (c.usb_lp) fs::remove_all(root.path(layout::usb_printer_dir(*c.usb_lp)), ec);
    if (c.serial) fs::remove_all(root.path(layout::tty_dir(*c.serial)), ec);
    if (c.parallel_lp) fs::remove_all(root.path(layout::parallel_dir(*c.parallel_lp)), ec);
}

// "fault clear" or "fault" followed by fault options: changes the faults of
// the running printer ("fault" alone shows nothing new, it only reports).
void fault_command(VirtualPrinter& printer, const std::string& cmd, bool json) {
    std::istringstream in(cmd);
    std::vector<std::string> words{std::istream_iterator<std::string>(in),
                                   std::istream_iterator<std::string>()};
    Faults f = printer.faults();
    std::string err;
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (words[i] == "clear") {
            f = Faults{};
            continue;
        }
        const int r = fault_option(words, i, f, err);
        if (r <= 0) {
            say(json, r < 0 ? err : "not a fault option: " + words[i]);
            return;
        }
    }
    printer.set_faults(f);
    say(json, "faults set: " + describe(f));
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse(argc, argv);

    // Signals are taken through a descriptor; the printer's worker thread
    // inherits the blocked mask and never sees them.
    sigset_t sigs;
    sigemptyset(&sigs);
    for (int s : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2, SIGHUP}) sigaddset(&sigs, s);
    sigaddset(&sigs, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    const int sfd = signalfd(-1, &sigs, SFD_CLOEXEC);
    if (sfd < 0) {
        std::perror("kp28sim: signalfd");
        return 1;
    }

    const bool made_root = !o.sysroot.empty() && !fs::exists(o.sysroot);
    try {
        kp28::FakeSysroot root(o.sysroot);
        const bool json = o.json;
        o.cfg.on_event = [json](const std::string& e) { say(json, e); };
        VirtualPrinter printer(root, o.cfg);
        printer.start();
        const auto& c = printer.config();
        const std::string model(kp28::model_name(c.model));
        if (json) {
            std::lock_guard lk(out_mutex);
            std::printf(
                "{\"sysroot\":\"%s\",\"model\":\"%s\",\"product_name\":\"%s\",\"firmware_version\":"
                "\"%s\","
                "\"usb_id\":\"%s\",\"usb_node\":\"%s\",\"serial_node\":\"%s\",\"serial_cdc_acm\":%"
                "s,"
                "\"parallel_node\":\"%s\",\"tcp\":\"%s\",\"setup_mode\":%s,\"pid\":%d}\n",
                json_escape(root.root()).c_str(), model.c_str(),
                json_escape(c.product_name).c_str(), json_escape(c.firmware_version).c_str(),
                json_escape(c.usb_id).c_str(), json_escape(printer.usb_node()).c_str(),
                json_escape(printer.serial_node()).c_str(), c.serial_cdc_acm ? "true" : "false",
                json_escape(printer.parallel_node()).c_str(),
                c.tcp_port ? (c.tcp_address + ":" + std::to_string(printer.tcp_port())).c_str()
                           : "",
                c.start_in_setup_mode ? "true" : "false", static_cast<int>(getpid()));
        } else {
            std::lock_guard lk(out_mutex);
            std::printf("kp28sim: %s \"%s\", firmware %s, USB id \"%s\"\n", model.c_str(),
                        c.product_name.c_str(), c.firmware_version.c_str(), c.usb_id.c_str());
            std::printf("kp28sim: sysroot %s (export KP28_SYSROOT=%s)\n", root.root().c_str(),
                        root.root().c_str());
            if (!printer.usb_node().empty())
                std::printf("kp28sim: USB printer  %s\n", printer.usb_node().c_str());
            if (!printer.serial_node().empty())
                std::printf("kp28sim: serial port  %s%s\n", printer.serial_node().c_str(),
                            c.serial_cdc_acm ? " (USB CDC)" : "");
            if (!printer.parallel_node().empty())
                std::printf("kp28sim: parallel     %s\n", printer.parallel_node().c_str());
            if (c.tcp_port)
                std::printf("kp28sim: TCP          %s:%u\n", c.tcp_address.c_str(),
                            printer.tcp_port());
            std::printf(
                "kp28sim: SIGUSR1 or \"setup\" on stdin: power on with ON_LINE held; "
                "SIGUSR2 or \"power\": power cycle; SIGINT/SIGTERM or \"quit\": stop (pid %d)\n",
                static_cast<int>(getpid()));
        }
        {
            std::lock_guard lk(out_mutex);
            intro_done = true;
            for (const auto& e : held_events) print_event(json, e);
            held_events.clear();
            std::fflush(stdout);
        }

        bool stdin_open = true;
        std::string line;
        for (bool run = true; run;) {
            pollfd p[2] = {{sfd, POLLIN, 0},
                           {STDIN_FILENO, static_cast<short>(stdin_open ? POLLIN : 0), 0}};
            if (::poll(p, 2, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (p[0].revents & POLLIN) {
                signalfd_siginfo si{};
                if (::read(sfd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
                    if (si.ssi_signo == SIGUSR1)
                        printer.enter_setup_mode();
                    else if (si.ssi_signo == SIGUSR2)
                        printer.power_cycle();
                    else if (si.ssi_signo != SIGPIPE)
                        run = false;
                }
            }
            if (stdin_open && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
                char buf[256];
                const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
                if (n <= 0) {
                    stdin_open = false;  // run on, e.g. in the background
                    continue;
                }
                line.append(buf, static_cast<std::size_t>(n));
                for (std::size_t nl; (nl = line.find('\n')) != std::string::npos;) {
                    std::string cmd = line.substr(0, nl);
                    line.erase(0, nl + 1);
                    while (!cmd.empty() && (cmd.back() == '\r' || cmd.back() == ' '))
                        cmd.pop_back();
                    if (cmd == "setup")
                        printer.enter_setup_mode();
                    else if (cmd == "power")
                        printer.power_cycle();
                    else if (cmd == "quit")
                        run = false;
                    else if (cmd.rfind("fault", 0) == 0)
                        fault_command(printer, cmd, json);
                    else if (!cmd.empty())
                        say(json,
                            "unknown command \"" + cmd + "\" (setup, power, fault ..., quit)");
                }
                if (line.size() > 4096) line.clear();
            }
        }
        printer.stop();
        remove_entries(root, c);
        say(json, "stopped");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kp28sim: %s\n", e.what());
        return 1;
    }
    if (made_root) {
        std::error_code ec;
        fs::remove_all(o.sysroot, ec);
    }
    return 0;
}
