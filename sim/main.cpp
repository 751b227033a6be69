// kp28sim: one virtual KP28 / KP28Plus printer in a fake sysroot and on a
// loopback TCP port, for trying the tools without hardware.
#include <kp28/ports/layout.h>
#include <kp28/protocol/frame.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "kp28sim/virtual_printer.h"

namespace fs = std::filesystem;
using namespace kp28sim;
using Json = nlohmann::ordered_json;

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char* kDescription =
    R"(Plays one KP28 or KP28Plus printer on every link the service tools use: a USB
printer node, a serial port (or the printer's USB CDC serial port), a parallel
port, all made in a fake sysroot, and a TCP port on loopback. Point the tools
at it with KP28_SYSROOT=<sysroot>.)";

const char* kFooter = R"(On the links:
  Normal mode answers on USB, parallel, TCP and on the serial port when the
  other side set it to 9600 baud; setup mode answers only on the serial port
  at 19200 baud. The speed is the one the tool set on its end of the
  pseudo-terminal. Several printers can run side by side, each with its own
  --sysroot and a TCP port of its own (--tcp 0, or another --tcp-address).

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

Output (standard output):
  Without --json: the nodes, then one "kp28sim: EVENT" line per event.
  With --json: first one object with the nodes: sysroot, model, product_name,
  firmware_version, usb_id, usb_node, serial_node, serial_cdc_acm (true or
  false), parallel_node (a link that is off: ""), tcp ("ADDRESS:PORT", the
  port the printer listens on; "" without TCP), tcp_port (that port as a
  number; null without TCP), setup_mode (true or false), pid; then one object
  {"event": TEXT} per event. Every line is one JSON object in UTF-8. Texts
  may carry bytes from the links and from standard input: a byte that is not
  part of valid UTF-8 (a printer's single-byte text) stands for the Latin-1
  character of the same value (byte E9 is "\u00e9"), so no byte is dropped.
  Errors in the options go to standard error. Exit status: 0 stopped,
  1 could not start (a node, the TCP port), 2 bad options.

Operator (while running):
  SIGUSR1, or the line "setup" on standard input: switch the printer off and on
      with ON_LINE held (setup mode)
  SIGUSR2, or the line "power" on standard input: switch it off and on
  the line "fault" followed by fault options (as above) and/or "clear":
      change the faults of the running printer, e.g. "fault clear --silent";
      "fault clear" alone ends every fault
  SIGINT, SIGTERM, SIGHUP, or the line "quit": stop the printer and remove the
      nodes it made (and the sysroot, when kp28sim created it). The end of
      standard input is ignored, so the program may run in the background.)";

// The help shows the frame prefix as the protocol library defines it.
std::string footer_text() {
    std::string prefix;
    for (const std::uint8_t b : kp28::kFramePrefix) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%s%02X", prefix.empty() ? "" : " ", b);
        prefix += hex;
    }
    std::string text = kFooter;
    for (std::size_t at; (at = text.find("@PREFIX@")) != std::string::npos;)
        text.replace(at, 8, prefix);
    return text;
}

// Usage first, then what the program is, the options by group and the rest.
class HelpFormatter : public CLI::Formatter {
  public:
    HelpFormatter() { column_width(28); }
    std::string make_help(const CLI::App* app, std::string name,
                          CLI::AppFormatMode) const override {
        return make_usage(app, name) + "\n" + make_description(app) + option_groups(app) + "\n" +
               make_footer(app);
    }
    // One blank line between groups.
    std::string option_groups(const CLI::App* app) const {
        std::string out;
        for (const std::string& group : app->get_groups()) {
            const auto opts = app->get_options([&](const CLI::Option* o) {
                return o->get_group() == group && o->nonpositional();
            });
            if (!group.empty() && !opts.empty()) out += make_group(group, false, opts);
        }
        return out;
    }
};

// Every option acts when it is met, in the order of the command line, as the
// technician reads it: in "--usb 1 --no-usb" the last one wins.
using Setter = std::function<void(const std::string&)>;

CLI::Option* value_option(CLI::App& app, const std::string& name, const std::string& value_name,
                          const std::string& help, Setter set) {
    return app.add_option_function<std::string>(name, std::move(set), help)
        ->type_name(value_name)
        ->trigger_on_parse();
}

CLI::Option* flag_option(CLI::App& app, const std::string& name, const std::string& help,
                         std::function<void()> set) {
    return app.add_flag_callback(name, std::move(set), help)->trigger_on_parse();
}

[[noreturn]] void refuse(const std::string& why) {
    throw CLI::ValidationError(why);
}

// A whole number in the given base, from 0 to max, and nothing after it.
bool parse_number(const std::string& v, int base, long max, long& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtol(v.c_str(), &end, base);
    return !v.empty() && !*end && !errno && out >= 0 && out <= max;
}

long number_of(const std::string& opt, const std::string& v, long max) {
    long n = 0;
    if (!parse_number(v, 10, max, n)) refuse(opt + " needs a number, not \"" + v + "\"");
    return n;
}

std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) refuse("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The fault options, for the command line and for the "fault" command on
// standard input; each sets its fault in f.
void add_fault_options(CLI::App& app, Faults& f, const std::string& group) {
    auto flag = [&](const std::string& name, const std::string& help, bool Faults::*member) {
        flag_option(app, name, help, [&f, member] { f.*member = true; })->group(group);
    };
    auto value = [&](const std::string& name, const std::string& value_name,
                     const std::string& help, Setter set) {
        value_option(app, name, value_name, help, std::move(set))->group(group);
    };
    flag("--silent", "reads everything, answers nothing", &Faults::silent);
    flag("--zero-token", "enter DLL / USB-ID mode answered with token 0", &Faults::zero_token);
    flag("--wrong-token", "acknowledgements inside a mode carry another token",
         &Faults::wrong_token);
    value("--ack-byte", "HEX", "acknowledgements inside a mode carry this byte (e.g. 05)",
          [&f](const std::string& v) {
              long n = 0;
              if (!parse_number(v, 16, 255, n)) refuse("--ack-byte takes one byte in hex");
              f.ack_byte = static_cast<std::uint8_t>(n);
          });
    flag("--bad-nvm-crc",
         "wrong NVM checksum after \"r\", wrong echo after \"w\",\n"
         "load-setup frames refused",
         &Faults::bad_nvm_checksum);
    flag("--nvm-length-2049", "\"r\" announces and sends 2049 bytes", &Faults::nvm_length_2049);
    value("--comeback-after", "SEC", "a restart takes SEC seconds (decimals allowed)",
          [&f](const std::string& v) {
              char* end = nullptr;
              const double sec = std::strtod(v.c_str(), &end);
              if (v.empty() || *end || !(sec >= 0 && sec <= 86400))
                  refuse("--comeback-after takes seconds");
              f.comeback_after = std::chrono::milliseconds(static_cast<long long>(sec * 1000));
          });
    flag("--never-come-back", "after write flash or reboot the printer stays away",
         &Faults::never_comes_back);
    value("--cut-after", "N",
          "every link goes dead after N bytes (both ways,\n"
          "counted from when the fault is set): the reply in\n"
          "flight stops, the USB node disappears, TCP\n"
          "connections close; \"fault clear\" plugs it back",
          [&f](const std::string& v) {
              long n = 0;
              if (!parse_number(v, 10, 0x7FFFFFFF, n))
                  refuse("--cut-after takes a number of bytes");
              f.cut_after_bytes = static_cast<std::size_t>(n);
          });
    value("--stall-after", "N",
          "the printer stops reading the USB node after N\n"
          "bytes from it (counted from when the fault is\n"
          "set): the node's buffer fills and writers wait;\n"
          "\"fault clear\" lets it read again",
          [&f](const std::string& v) {
              long n = 0;
              if (!parse_number(v, 10, 0x7FFFFFFF, n))
                  refuse("--stall-after takes a number of bytes");
              f.stall_after_bytes = static_cast<std::size_t>(n);
          });
    flag("--garbage", "every answer is replaced by random bytes", &Faults::garbage);
    flag("--pace",
         "serial links move bytes at the line rate (speed/10\n"
         "bytes a second: 19200 baud is 1920 bytes a second)",
         &Faults::pace_line_rate);
    value("--tcp-rate", "BPS",
          "TCP connections are read at BPS bytes a second\n"
          "(2059: a whole setup file takes about a second)",
          [&f](const std::string& v) {
              long n = 0;
              if (!parse_number(v, 10, 0x7FFFFFFF, n) || n == 0)
                  refuse("--tcp-rate takes a number of bytes a second (1 or more)");
              f.tcp_bytes_per_second = static_cast<std::size_t>(n);
          });
}

struct Options {
    PrinterConfig cfg;
    std::string sysroot;
    bool json = false;
};

[[noreturn]] void usage_error(const std::string& msg) {
    std::fprintf(stderr, "kp28sim: %s\n(kp28sim --help shows the options)\n", msg.c_str());
    std::exit(kExitUsage);
}

Options parse(int argc, char** argv) {
    Options o;
    auto& c = o.cfg;
    c.tcp_port = 9100;
    c.keep_transcript = false;  // a long run keeps nothing in memory; --transcript writes a file
    bool serial_named = false;

    CLI::App app{kDescription, "kp28sim"};
    app.formatter(std::make_shared<HelpFormatter>());
    app.footer(footer_text());
    app.set_help_flag();  // added last, under "Output"

    const std::string printer = "Printer";
    value_option(app, "--model", "KP28|KP28Plus",
                 "model (default KP28Plus). Selects the byte order of\n"
                 "the NVM length, the NVM checksum and two-byte\n"
                 "parameters: KP28Plus least significant byte first,\n"
                 "KP28 most significant first.",
                 [&c](const std::string& v) {
                     if (v == "KP28" || v == "kp28")
                         c.model = Model::KP28;
                     else if (v == "KP28Plus" || v == "kp28plus" || v == "KP28plus")
                         c.model = Model::KP28Plus;
                     else
                         refuse("--model is KP28 or KP28Plus");
                 })
        ->group(printer);
    value_option(app, "--name", "TEXT",
                 "product name, up to 17 characters (default\n"
                 "\"KP28plus PB U2\" / \"KP28 PB-I U2\")",
                 [&c](const std::string& v) { c.product_name = v; })
        ->group(printer);
    flag_option(app, "--no-usb-id-feature",
                "the printer ignores the USB-ID mode frames, and the\n"
                "default name fails the tools' feature check\n"
                "(\"KP28 PB-I S2\": no U at position 10)",
                [&c] { c.usb_id_feature = false; })
        ->group(printer);
    value_option(app, "--fw-version", "VVVVV",
                 "firmware version, exactly 5 characters (default 1.00A)",
                 [&c](const std::string& v) { c.firmware_version = v; })
        ->group(printer);
    value_option(app, "--usb-id", "TEXT", "USB identifier, up to 32 characters",
                 [&c](const std::string& v) { c.usb_id = v; })
        ->group(printer);
    value_option(app, "--nvm", "FILE", "the NVM image (2048 bytes) instead of the built-in one",
                 [&c](const std::string& v) { c.nvm = read_file(v); })
        ->group(printer);
    value_option(app, "--mfg", "FILE", "the manufacturing defaults (2048 bytes)",
                 [&c](const std::string& v) { c.mfg_defaults = read_file(v); })
        ->group(printer);
    value_option(app, "--description", "FILE", "the parameter description sent after \"m\"",
                 [&c](const std::string& v) {
                     const auto d = read_file(v);
                     c.description.assign(d.begin(), d.end());
                 })
        ->group(printer);
    value_option(app, "--downtime", "MS", "how long a restart takes (default 2000)",
                 [&c](const std::string& v) {
                     c.reboot_downtime =
                         std::chrono::milliseconds(number_of("--downtime", v, 86400L * 1000));
                 })
        ->group(printer);
    value_option(app, "--version-rule", "RULE",
                 "the firmware version after a firmware load:\n"
                 "  image     (default) the 5 characters that follow\n"
                 "            the first \"KP28FW:\" in the loaded image\n"
                 "            (256-byte header first, then the data)\n"
                 "            when all are printable ASCII, otherwise\n"
                 "            as \"increment\"\n"
                 "  increment the old version with its last decimal\n"
                 "            digit raised by one, carrying into the\n"
                 "            digits before it (1.09A -> 1.10A,\n"
                 "            9.99Z -> 0.00Z); without digits the last\n"
                 "            character is raised by one\n"
                 "  keep      the old version (a load that does not take)\n"
                 "A plain reboot always keeps the old version.",
                 [&c](const std::string& v) {
                     if (v == "image")
                         c.version_rule = VersionRule::FromImage;
                     else if (v == "increment")
                         c.version_rule = VersionRule::Increment;
                     else if (v == "keep")
                         c.version_rule = VersionRule::Keep;
                     else
                         refuse("--version-rule is image, increment or keep");
                 })
        ->group(printer);
    flag_option(app, "--setup", "power on with ON_LINE held: start in setup mode", [&c] {
        c.start_in_setup_mode = true;
    })->group(printer);

    const std::string links = "Links (all in the sysroot; each can be turned off)";
    value_option(app, "--sysroot", "DIR",
                 "the fake sysroot (created if needed; default:\n"
                 "$KP28_SYSROOT when it is set and is not \"/\", else a\n"
                 "new directory under $TMPDIR or /tmp)",
                 [&o](const std::string& v) { o.sysroot = v; })
        ->group(links);
    value_option(
        app, "--usb", "N", "USB printer node dev/usb/lpN (default 0)",
        [&c](const std::string& v) { c.usb_lp = static_cast<int>(number_of("--usb", v, INT_MAX)); })
        ->group(links);
    flag_option(app, "--no-usb", "no USB printer node", [&c] { c.usb_lp.reset(); })->group(links);
    value_option(app, "--serial", "NAME",
                 "serial port dev/NAME: ttySn, ttyUSBn or ttyACMn\n"
                 "(default ttyS0)",
                 [&c, &serial_named](const std::string& v) {
                     c.serial = v;
                     serial_named = true;
                 })
        ->group(links);
    flag_option(app, "--no-serial", "no serial port", [&c] { c.serial.reset(); })->group(links);
    flag_option(app, "--cdc",
                "the serial port is the printer's USB CDC port: its\n"
                "driver is cdc_acm (default name ttyACM0)",
                [&c] { c.serial_cdc_acm = true; })
        ->group(links);
    value_option(app, "--parallel", "N", "parallel port dev/lpN (default 0)",
                 [&c](const std::string& v) {
                     c.parallel_lp = static_cast<int>(number_of("--parallel", v, INT_MAX));
                 })
        ->group(links);
    flag_option(app, "--no-parallel", "no parallel port", [&c] {
        c.parallel_lp.reset();
    })->group(links);
    value_option(app, "--tcp", "PORT",
                 "TCP port (default 9100; 0: any free port, the one\n"
                 "chosen is printed with the nodes)",
                 [&c](const std::string& v) {
                     long p = 0;
                     if (!parse_number(v, 10, 65535, p)) refuse("--tcp takes a port number");
                     c.tcp_port = static_cast<std::uint16_t>(p);
                 })
        ->group(links);
    flag_option(app, "--no-tcp", "no TCP port", [&c] { c.tcp_port.reset(); })->group(links);
    value_option(app, "--tcp-address", "ADDR",
                 "where to listen: an IPv4 loopback address only\n"
                 "(default 127.0.0.1)",
                 [&c](const std::string& v) { c.tcp_address = v; })
        ->group(links);
    value_option(
        app, "--usb-pid", "PPPP", "the USB product id in sysfs (4 hex digits; default 0140)",
        [&c](const std::string& v) {
            if (v.size() != 4 || v.find_first_not_of("0123456789abcdef") != std::string::npos)
                refuse("--usb-pid takes 4 lower-case hex digits");
            c.usb_identity.pid = v;
        })
        ->group(links);
    value_option(app, "--usb-serial", "TEXT",
                 "the USB serial attribute (default KP28SIM0001;\n"
                 "empty: no serial attribute)",
                 [&c](const std::string& v) { c.usb_identity.serial = v; })
        ->group(links);

    add_fault_options(app, c.faults, "Faults (the printer misbehaves on purpose)");

    const std::string output = "Output";
    value_option(app, "--transcript", "FILE",
                 "append every transfer: seconds since start, link,\n"
                 "\"in\" (to the printer) or \"out\", @speed on serial,\n"
                 "the bytes in hex",
                 [&c](const std::string& v) { c.transcript_file = v; })
        ->group(output);
    flag_option(app, "--json",
                "print the nodes as one JSON object, then one JSON\n"
                "object per event (see Output below)",
                [&o] { o.json = true; })
        ->group(output);
    app.set_help_flag("-h,--help", "this text")->group(output);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        std::exit(0);
    } catch (const CLI::ParseError& e) {
        usage_error(e.what());
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
    if (f.tcp_bytes_per_second) add("--tcp-rate " + std::to_string(*f.tcp_bytes_per_second));
    return out.empty() ? "none" : out;
}

// How many bytes at the start of s form one well-formed UTF-8 character
// (no overlong forms, no surrogates, nothing above U+10FFFF); 0 when none do.
std::size_t utf8_length(std::string_view s) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = b(0);
    if (lead < 0x80) return 1;
    std::size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF)
        n = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (s.size() < n || b(1) < lo || b(1) > hi) return 0;
    for (std::size_t i = 2; i < n; ++i)
        if (b(i) < 0x80 || b(i) > 0xBF) return 0;
    return n;
}

// JSON text is UTF-8, but an event can carry any bytes: a product name or a
// USB identifier a tool wrote, a line typed on standard input. UTF-8 passes
// as it is; any other byte becomes the Latin-1 character of its value, the
// way the setup tool reads a printer's single-byte text, so the reader still
// sees every byte.
std::string json_text(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        if (const std::size_t n = utf8_length(bytes.substr(i))) {
            out.append(bytes.substr(i, n));
            i += n;
            continue;
        }
        const auto b = static_cast<unsigned char>(bytes[i++]);
        out += static_cast<char>(0xC0 | (b >> 6));
        out += static_cast<char>(0x80 | (b & 0x3F));
    }
    return out;
}

// One line of output; the replacement handler is only a backstop, json_text
// leaves nothing for it to replace.
std::string json_line(const Json& j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The printer's events come from its worker thread; they wait until the
// description of the nodes is out, which is always the first thing printed.
std::mutex out_mutex;
bool intro_done = false;               // guarded by out_mutex
std::vector<std::string> held_events;  // guarded by out_mutex

void print_event(bool json, const std::string& what) {
    if (json)
        std::printf("%s\n", json_line(Json{{"event", json_text(what)}}).c_str());
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

// Taken in runs between the words "clear", each run checked by the same
// options as the command line; nothing changes unless every word is good.
bool apply_fault_words(const std::vector<std::string>& words, Faults& f, bool json) {
    if (words.empty()) return true;
    CLI::App app;
    app.set_help_flag();
    app.allow_extras();
    add_fault_options(app, f, "Faults");
    std::vector<std::string> args(words.rbegin(), words.rend());  // CLI11 takes them last first
    try {
        app.parse(args);
    } catch (const CLI::ParseError& e) {
        say(json, e.what());
        return false;
    }
    if (const auto rest = app.remaining(); !rest.empty()) {
        say(json, "not a fault option: " + rest.front());
        return false;
    }
    return true;
}

// "fault clear" or "fault" followed by fault options: changes the faults of
// the running printer ("fault" alone shows nothing new, it only reports).
void fault_command(VirtualPrinter& printer, const std::string& cmd, bool json) {
    std::istringstream in(cmd);
    const std::vector<std::string> words{std::istream_iterator<std::string>(in),
                                         std::istream_iterator<std::string>()};
    Faults f = printer.faults();
    std::vector<std::string> run;
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (words[i] != "clear") {
            run.push_back(words[i]);
            continue;
        }
        if (!apply_fault_words(run, f, json)) return;
        run.clear();
        f = Faults{};
    }
    if (!apply_fault_words(run, f, json)) return;
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
        return kExitFailed;
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
            Json nodes{{"sysroot", json_text(root.root())},
                       {"model", model},
                       {"product_name", json_text(c.product_name)},
                       {"firmware_version", json_text(c.firmware_version)},
                       {"usb_id", json_text(c.usb_id)},
                       {"usb_node", json_text(printer.usb_node())},
                       {"serial_node", json_text(printer.serial_node())},
                       {"serial_cdc_acm", c.serial_cdc_acm},
                       {"parallel_node", json_text(printer.parallel_node())},
                       {"tcp", c.tcp_port ? json_text(c.tcp_address) + ":" +
                                                std::to_string(printer.tcp_port())
                                          : ""},
                       {"tcp_port", c.tcp_port ? Json(printer.tcp_port()) : Json(nullptr)},
                       {"setup_mode", c.start_in_setup_mode},
                       {"pid", static_cast<int>(getpid())}};
            std::lock_guard lk(out_mutex);
            std::printf("%s\n", json_line(nodes).c_str());
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
        return kExitFailed;
    }
    if (made_root) {
        std::error_code ec;
        fs::remove_all(o.sysroot, ec);
    }
    return 0;
}
