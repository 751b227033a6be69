// kp28setup: the setup tool's operations from the command line, through the
// same session the window uses. The operator answers from the options and the
// terminal; the outcome is printed as text or as one JSON object.
#include <kp28/access_hint.h>
#include <kp28/sysroot.h>
#include <kp28setup/serial_port_posix.h>
#include <kp28setup/session.h>
#include <kp28setup/stoppable_port.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "apply_command.h"
#include "doctor.h"
#include "editor_options.h"
#include "exit_status.h"
#include "maintenance_commands.h"
#include "multi_send.h"
#include "printer_access.h"
#include "setup_data.h"
#include "terminal_operator.h"
#include "usb_listing.h"

namespace {

using kp28setup::Command;
using kp28setup::Icon;
using kp28setup_cli::kExitFailed;
using kp28setup_cli::kExitOk;
using kp28setup_cli::kExitUsage;
using kp28setup_cli::signal_name;
using nlohmann::json;

const char* icon_name(Icon i) {
    switch (i) {
        case Icon::Critical:
            return "critical";
        case Icon::Exclamation:
            return "exclamation";
        case Icon::Information:
            return "information";
        case Icon::None:
            return "none";
    }
    return "none";
}

// SIGINT, SIGTERM and SIGHUP end the run through the session: at once while
// it waits for a prompt, a reply or a read; after the transfer when an NVM
// image or a setup file is going out (the printer must not be left
// half-written); after the updater child has been ended and waited for.
kp28setup::StopSource g_stop;

extern "C" void on_end_signal(int sig) {
    g_stop.request(sig);
}

void install_signal_handlers() {
    struct sigaction sa {};
    sa.sa_handler = on_end_signal;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a prompt waiting on the terminal returns, as cancelled.
    sa.sa_flags = 0;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
    // A file-size limit makes a write fail (and the save report it) instead
    // of killing the program halfway through a file.
    signal(SIGXFSZ, SIG_IGN);
}

std::string hex(const std::array<std::uint8_t, 4>& b) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%02X%02X%02X%02X", b[0], b[1], b[2], b[3]);
    return buf;
}

struct Options {
    std::string interface;
    std::string model = "kp28plus";
    bool yes = false;
    bool json = false;
    std::string save;
    std::string image;
    std::vector<std::string> set;      // write: LABEL=VALUE edits
    std::string modules;               // read: a stored description instead of the printer
    std::vector<std::string> sources;  // show, diff: SOURCE ("printer" or a file)
    std::string profile;               // show --profile FILE, apply PROFILE
    bool check = false;                // apply --check
};

const char* kHelpFooter = R"(Commands:
  interfaces   the entries of the interface list, in order, each with its port
               name and device node; behind "USB" the nodes of the printers the
               USB library reaches (the first is the one used); "LAN" has none
  read         Read NVM: prompt, model query, NVM transfer and checksum check,
               then "m": the parameter description, stored as modules.txt in
               the working directory, and the editor built from it
               (--modules FILE --image FILE: the editor from stored files,
               no printer)
  write        Read NVM, then the --set edits, then Write NVM of the image,
               echo check and the save dialog (answered by --save; without
               it, cancelled). --set LABEL=VALUE (or #ROW=VALUE where labels
               repeat) takes for an enumeration the item text or its index,
               for a range the displayed number (min..max), for a string the
               text, for an IP address a.b.c.d. An edit the row cannot take
               is refused and nothing is written to the printer.
  restore      Restore MFG: "R" to a printer in setup mode, then Read NVM of
               the defaults; reports, --save and --image as read does
  exit-setup   Exit from SETUP: "g" to a KP28Plus in setup mode
  show SOURCE  the parameter rows of a setup, as read prints them (--json: the
               same parameters objects); --profile FILE also writes the setup
               as a profile. SOURCE is "printer" (the printer on -i ENTRY,
               read as read does; "./printer" names a file), a setup file
               (.dmp, one load-setup frame: its checksum's byte order tells
               the model; a checksum that fits neither is refused) or a raw
               image (read --image output, 2048 bytes, model by --model). The
               rows follow --modules FILE, else modules.txt in the working
               directory, else (printer) the description the printer sends.
  diff A B     the rows whose values differ (label, or #ROW where labels
               repeat, and both values as the editor shows them), differing
               image bytes no such row accounts for (offset ranges), and
               differing identification texts, model or length. Exit status
               0 same, 1 different, 2 trouble; --json: {same, a, b, rows
               [{label, row, a, b}], bytes [{from, to}], identification
               [{field, a, b}]}
  apply PROFILE  read the printer, then make it hold what the profile asks:
               nothing to change sends nothing more; --check only reports;
               else the edits as in the window, Write NVM with its echo check
               and a read of the NVM to compare every byte. A label missing or
               ambiguous, a value its row cannot take, or a profile for the
               other model is refused before anything more is sent (exit 2).
               Exit 0 when the printer ends as the profile asks (--check: when
               the check ran), 1 otherwise. --json adds changed, check,
               changes [{label, row, from, to}], verified (the read-back
               matched; false when nothing was written) and refused.

Profiles: {"model": "KP28Plus", "parameters": {"LABEL": "VALUE", "#12": "..."},
"leave": ["LABEL", ...]}; the values are those --set takes. "model" and
"leave" are optional; a row named in "leave" must not be set. show --profile
puts every row it can give back in "parameters", the others (a number that
names no item, a value outside the slider) in "leave".
  send FILE    Send  Setup: the setup file, unchanged, to a printer in normal
               mode over the entry's link (LPTn node, USB library for "USB"
               and USB (CdC), TCP for LAN with --ip, COM at 9600)
  load-fw FILE Load FW: KP28Plus: LPT copy, USB CDC push at 115200, or the
               updater for "USB"; KP28: LPT copy, FTP upload for LAN (--ip),
               else the updater
  reboot       Reboot: the updater restarts the first USB printer
  usb-id ID    USB ID: the updater records ID (at most 32 characters)
  doctor       whether this user can open every interface and the USB printers,
               and the fix for each that cannot; whether Kp28FWUpdate and
               libkp28wrap are found and the working directory is writable

Output: messages go to standard error as "TITLE: text" lines and results to
standard output; with --json one object is printed at the end: command, ok,
messages [{title, text, icon}], printer, model, plus_model, last_comm_error,
failed_operation, commands {caption: enabled}, status, and for read, write and
restore nvm {length, checksum}, parameters [{kind, label, top, and for parameter
rows row, offset, size, value; enum: index, stored, items; range: stored,
min, max, bias, large_step}], editor_height (twips), warnings (description
lines that built no row), and for write refused (the edits not taken).
A command that was not done adds "reason": why, as the session ended it (the
COMM error report, the refusal shown, "cancelled" for a cancelled dialog).
The object is printed however the command ends: "error" holds the reason when
it broke off, "interrupted" the signal that ended it.
Exit status: 0 done, 1 failed, 2 usage error.

A command that no state of the window enables on the chosen entry (read on a
parallel port, "USB" or "LAN", for one) is refused before anything is sent,
with the reason, exit status 2. What the window enables only after an
operation (send over a COM port once a read met the printer in normal mode)
is allowed: each command runs to its end in one run.

Signals: SIGINT, SIGTERM and SIGHUP end a wait at once, but an NVM image or a
setup file that has begun to go out is finished first (the printer is never
left half-written), and a running updater is ended (SIGTERM, SIGKILL 5 s
later) and waited for; then the run ends with exit status 1.

Send and maintenance: --json adds for send: sent, interface; for load-fw,
reboot and usb-id: interface, updater_exit (null when the updater did not
run, -1 when a signal ended it) and report {caption, lines} (the report
window; null when it was not shown). --ip ADDR[:PORT] answers the IP address
box (port 9100 for send, 21 for the FTP upload, unless one is given); without
--ip the box counts as cancelled.

Send to several network printers: --ip more than once, or --hosts FILE
(one ADDR[:PORT] a line, # comments, blank lines; with the --ip's). Always
over the network (-i LAN or no -i). The list, then the file are checked before
any printer is reached; a printer listed twice gets the file once. --parallel N
printers at once (default 8), each with its own limits (connect, then the whole
file and the printer's close); a printer has taken the file when it closes the
connection after it. A line per printer as it finishes, then "N of M printers
took the file; retry: ..."; "sent K of M" on a terminal. --json: printers
[{address, port, ok, bytes_sent, seconds, reason}], total, took, failed,
seconds, retry. Exit 0 only when every printer took the whole file. After a
signal no connection starts and a file going out is finished.

Environment:
  KP28_SYSROOT               prefix of every hardware look-up (tests: a fake tree)
  KP28FWUPDATE               the updater to run (default: Kp28FWUpdate beside
                             kp28setup, then on PATH)
  KP28WRAP_LIBRARY           the USB library file (default libkp28wrap.so.1)
  KP28SETUP_READ_TIMEOUT_MS  replaces the serial read limits (3000 ms between
                             bytes of a reply, 20000 ms for the first byte of the
                             write echo); a silent printer ends the operation with
                             "COMM error(TimeOut): ..."
  KP28SETUP_DESCRIPTION_TIMEOUT_MS  the whole parameter description (60000 ms)
  KP28SETUP_CONNECT_TIMEOUT_MS, KP28SETUP_WRITE_TIMEOUT_MS  send to several
                             printers: each one's connect limit (12000 ms) and
                             whole-file limit (60000 ms)
)";

json report(const std::string& command, bool ok, const kp28setup::Session& s,
            const kp28setup_cli::TerminalOperator& op, bool with_nvm) {
    json j;
    j["command"] = command;
    j["ok"] = ok;
    j["messages"] = json::array();
    for (const auto& m : op.messages())
        j["messages"].push_back(
            {{"title", m.title}, {"text", m.text}, {"icon", icon_name(m.icon)}});
    j["printer"] = s.text1();
    j["model"] = s.plus_displayed() ? "KP28Plus" : "KP28";
    j["plus_model"] = s.plus_model;
    j["last_comm_error"] = s.last_comm_error;
    j["failed_operation"] = s.failed_operation;
    json cmds = json::object();
    for (std::size_t i = 0; i < kp28setup::kCommandCount; ++i) {
        const auto c = static_cast<Command>(i);
        cmds[std::string(kp28setup::caption(c))] = s.commands().enabled(c);
    }
    j["commands"] = cmds;
    j["status"] = s.status_label();
    if (with_nvm) j["nvm"] = {{"length", s.nvm_length}, {"checksum", hex(s.crc_trailer)}};
    return j;
}

// The button behind each command that talks to a printer.
std::optional<Command> button_of(const std::string& command) {
    static const std::map<std::string, Command> kButtons{
        {"read", Command::ReadNvm},       {"write", Command::WriteNvm},
        {"restore", Command::RestoreMfg}, {"exit-setup", Command::ExitSetup},
        {"send", Command::SendSetup},     {"load-fw", Command::LoadFw},
        {"reboot", Command::Reboot},      {"usb-id", Command::UsbId},
        {"show", Command::ReadNvm},       {"diff", Command::ReadNvm},
        {"apply", Command::ReadNvm}};
    const auto it = kButtons.find(command);
    if (it == kButtons.end()) return std::nullopt;
    return it->second;
}

std::string entry_kind(const std::string& entry) {
    if (entry == kp28setup::kCdcEntry) return "the USB CDC port";
    if (entry == kp28setup::kUsbEntry) return "the USB library's link";
    if (entry == kp28setup::kLanEntry) return "the network link";
    if (entry.rfind("LPT", 0) == 0) return "a parallel port";
    if (entry.rfind("COM", 0) == 0) return "a COM port";
    return "an entry of no known kind";
}

// Each command runs to its end in one run, so what the window enables only
// after an operation (a read that finds the printer in normal mode) is
// allowed; a command that no state of the window offers on the entry is not:
// it would only talk to a link that cannot carry it. Empty: allowed.
std::string refusal(const std::string& command, const kp28setup::InterfaceList& list) {
    const auto button = button_of(command);
    if (!button) return {};
    const std::string entry = list.selected_text();
    const auto ever = kp28setup::ever_enabled(entry, list.check1);
    if (ever[static_cast<std::size_t>(*button)]) return {};
    std::string offered;
    for (std::size_t i = 0; i < kp28setup::kCommandCount; ++i) {
        const auto c = static_cast<Command>(i);
        if (!ever[i] || c == Command::Refresh) continue;
        offered += std::string(offered.empty() ? "" : ", ") + "\"" +
                   std::string(kp28setup::caption(c)) + "\"";
    }
    return command + " refused: the window never enables \"" +
           std::string(kp28setup::caption(*button)) + "\" for the entry \"" + entry + "\" (" +
           entry_kind(entry) +
           "): picking it disables the button and nothing the window can do there enables it "
           "again; on that entry it offers " +
           (offered.empty() ? std::string("no printer command") : offered);
}

bool write_raw_image(const kp28setup::Session& s, const std::string& path) {
    std::string why;
    if (kp28setup::write_file_whole(path, s.nvm_image, &why)) return true;
    std::cerr << "kp28setup: cannot write the image to " << path << ": " << why << "\n";
    return false;
}

int run(const std::string& command, const Options& o) {
    if (command == "read" && !o.modules.empty())
        return kp28setup_cli::run_stored_description(o.modules, o.image, o.model != "kp28", o.json);
    const bool setup_command = command == "show" || command == "diff";
    kp28setup_cli::SourceOptions sources{o.modules, o.model != "kp28", {}};
    const kp28setup_cli::SetupCommand setup{command, o.sources, o.profile, o.json};
    if (setup_command && !kp28setup_cli::names_printer(o.sources))
        return kp28setup_cli::run_setup_command(setup, sources);
    const std::string root = kp28::sysroot();
    kp28setup::PosixSerialPort posix_port(
        [root](int com) { return kp28setup::node_for_com(root, com); });
    kp28setup::StoppablePort port(posix_port, g_stop);
    kp28setup_cli::DialogAnswers answers;
    if (kp28setup_cli::is_maintenance_command(command))
        answers = kp28setup_cli::maintenance_answers(command, kp28setup_cli::maintenance_options());
    answers.yes = o.yes;
    // Only the write's save dialog takes --save; read and restore save the
    // image they read themselves.
    if ((command == "write" || command == "apply") && !o.save.empty()) answers.save = o.save;
    kp28setup_cli::TerminalOperator op(answers, o.json);
    kp28setup::Editor editor;
    kp28setup::SessionDeps deps{
        port,    op,      [root] { return kp28setup::scan_ports(root); }, {},
        nullptr, &editor, kp28setup::TimeLimits::from_environment()};
    deps.stop = &g_stop;
    kp28setup::Session s(std::move(deps));
    s.Form_Load();

    const auto& list = s.interfaces();
    if (command == "interfaces") {
        // Behind "USB": the printers the USB library reaches, first the one
        // the updater and the sends use.
        const auto usb = kp28setup_cli::list_usb_printers(root);
        json entries = json::array();
        for (std::size_t i = 0; i < list.port.size(); ++i) {
            const bool paired = i < list.list1.size();
            json e = {{"entry", list.port[i]}, {"name", paired ? list.list1[i] : ""}};
            e["node"] = paired ? json(list.nodes[i]) : json(nullptr);
            std::string node_text = paired ? list.nodes[i] : "";
            if (list.port[i] == kp28setup::kUsbEntry) {
                json printers = json::array();
                for (const auto& p : usb.printers) {
                    printers.push_back({{"path", p.path}, {"node", p.node}});
                    node_text += (node_text.empty() ? "" : ", ") + p.node;
                }
                if (!usb.printers.empty()) e["node"] = usb.printers.front().node;
                e["printers"] = printers;
                if (!usb.error.empty()) {
                    e["error"] = usb.error;
                    node_text = "(" + usb.error + ")";
                } else if (usb.printers.empty()) {
                    node_text = "(no USB printer found)";
                }
            }
            entries.push_back(e);
            if (!o.json)
                std::cout << list.port[i] << "\t" << (paired ? list.list1[i] : "") << "\t"
                          << node_text << "\n";
        }
        if (o.json)
            std::cout << json{{"interfaces", entries}}.dump(2, ' ', false,
                                                            json::error_handler_t::replace)
                      << "\n";
        return kExitOk;
    }

    if (!o.interface.empty()) {
        int found = -1;
        for (std::size_t i = 0; i < list.port.size(); ++i)
            if (list.port[i] == o.interface) found = static_cast<int>(i);
        if (found < 0) {
            std::cerr << "kp28setup: no interface \"" << o.interface << "\"; the list holds:";
            for (const auto& e : list.port) std::cerr << " \"" << e << "\"";
            std::cerr << "\n";
            return kExitUsage;
        }
        if (found != list.selected) s.select_interface(found);
    }
    if (o.model == "kp28") s.mnuSetProgramforKP28_Click();

    if (const std::string why = refusal(command, list); !why.empty()) {
        std::cerr << "kp28setup: " << why << "\n";
        if (o.json) {
            json j = report(command, false, s, op, false);
            j["error"] = why;
            if (command == "apply") {
                j.update(kp28setup_cli::apply_report_start(o.check));
                j["refused"] = {why};
            }
            std::cout << j.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
        }
        return kExitUsage;
    }

    bool ok = false;
    std::string reason;
    // After a good restore the image and editor are those of a good read.
    const bool with_nvm = command == "read" || command == "write" || command == "restore";
    std::vector<std::string> refused;
    kp28setup_cli::MaintenanceOutcome maintenance;
    kp28setup_cli::ApplyOutcome applied;
    int setup_exit = 2;
    // Whatever ends the command, its report is printed.
    std::string error;
    try {
        if (kp28setup_cli::is_maintenance_command(command)) {
            maintenance = kp28setup_cli::run_maintenance(command, s);
            ok = maintenance.ok;
            reason = maintenance.reason;
        } else if (command == "write") {
            auto done = s.run(Command::ReadNvm);
            bool edited = true;
            if (s.commands().enabled(Command::WriteNvm) && !o.set.empty()) {
                if (!editor.complete())
                    refused.push_back("the parameter editor was not built, so no edit can be made");
                else
                    refused = kp28setup_cli::apply_edits(editor, o.set);
                edited = refused.empty();
                // Nothing goes to the printer unless every edit was taken.
                for (const auto& why : refused) std::cerr << "kp28setup: " << why << "\n";
                if (!edited) done = {false, "an edit was refused, so nothing was written", {}};
            }
            if (s.commands().enabled(Command::WriteNvm) && edited) done = s.run(Command::WriteNvm);
            ok = done.done;
            reason = done.reason;
        } else if (setup_command) {
            kp28setup_cli::PrinterAccess printer(s, editor);
            sources.printer = [&](std::string& why) { return printer.read(o.modules, why); };
            setup_exit = kp28setup_cli::run_setup_command(setup, sources);
        } else if (command == "apply") {
            kp28setup_cli::PrinterAccess printer(s, editor);
            applied = kp28setup_cli::run_apply({o.profile, o.check, o.modules, o.save}, printer);
            ok = applied.ok;
            if (!applied.error.empty()) std::cerr << "kp28setup: " << applied.error << "\n";
        } else {
            const auto done = s.run(*button_of(command));
            ok = done.done;
            reason = done.reason;
            if (ok && !o.save.empty()) ok = s.write_setup_file(o.save, false);
            if (ok && !o.image.empty()) ok = write_raw_image(s, o.image);
        }
    } catch (const std::exception& e) {
        error = e.what();
        ok = false;
        std::cerr << "kp28setup: " << error << "\n";
    }
    s.close_link();
    std::string interrupted;
    if (g_stop.requested()) {
        interrupted = signal_name(g_stop.signal());
        ok = false;
        std::cerr << "kp28setup: interrupted by " << interrupted
                  << (s.printer_took_image() ? " (after the printer had taken the whole image)"
                                             : "")
                  << "\n";
    }
    if (const auto hint = kp28::permission_hint(posix_port.last_open_errno()); !hint.empty())
        std::cerr << hint << "\n";
    // show and diff have printed their own report.
    if (setup_command) return interrupted.empty() && error.empty() ? setup_exit : kExitUsage;
    if (command == "apply" && !applied.error.empty() && error.empty()) error = applied.error;

    if (o.json) {
        json j = report(command, ok, s, op, with_nvm);
        if (with_nvm) {
            kp28setup_cli::add_editor_report(j, editor);
            if (command == "write") j["refused"] = refused;
        }
        if (!maintenance.extra.is_null()) j.update(maintenance.extra);
        if (!ok && !reason.empty()) j["reason"] = reason;
        if (command == "apply") {
            j["nvm"] = {{"length", s.nvm_length}, {"checksum", hex(s.crc_trailer)}};
            j.update(applied.extra.is_object() ? applied.extra
                                               : kp28setup_cli::apply_report_start(o.check));
        }
        if (!error.empty()) j["error"] = error;
        if (!interrupted.empty()) j["interrupted"] = interrupted;
        std::cout << j.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
    } else {
        for (const auto& line : maintenance.text) std::cout << line << "\n";
        for (const auto& line : applied.text) std::cout << line << "\n";
        std::cout << "printer: " << s.text1() << "\n"
                  << "model: " << (s.plus_displayed() ? "KP28Plus" : "KP28") << "\n";
        if (with_nvm) {
            std::cout << "nvm: " << s.nvm_length << " bytes, checksum " << hex(s.crc_trailer)
                      << "\n";
            kp28setup_cli::print_parameters(std::cout, editor);
        }
        if (!ok && !reason.empty()) std::cout << "reason: " << reason << "\n";
        std::cout << "result: " << (ok ? "done" : "failed") << "\n";
    }
    if (command == "apply" && error == applied.error && interrupted.empty())
        return applied.exit_code;
    return ok ? kExitOk : kExitFailed;
}

}  // namespace

// An empty path would silently save nothing.
const CLI::Validator kNamesAFile(
    [](std::string& path) {
        return path.empty() ? std::string("an empty path names no file") : "";
    },
    "PATH");

int main(int argc, char** argv) {
    install_signal_handlers();
    CLI::App app{
        "kp28setup: read, write and restore the setup memory of a KP28 or KP28Plus "
        "printer in setup mode, send setup files, load firmware, reboot and record the USB "
        "identifier, and list the interfaces a printer can be reached by."};
    app.footer(kHelpFooter);
    app.require_subcommand(1);
    Options o;

    auto* interfaces = app.add_subcommand("interfaces", "List the interface entries");
    interfaces->add_flag("--json", o.json,
                         "Print {\"interfaces\": [{entry, name, node}]}; \"USB\" adds printers "
                         "[{path, node}] and error when the USB library cannot be loaded");

    auto add_common = [&](CLI::App* c) {
        c->add_option("-i,--interface", o.interface,
                      "Entry of the interface list as shown: COM1, \"USB (CdC)\", LPT1, USB, LAN "
                      "(default: the entry the refresh selects)");
        c->add_option("--model", o.model, "The checked printer type menu item (default kp28plus)")
            ->transform(CLI::IsMember({"kp28", "kp28plus"}, CLI::ignore_case));
        c->add_flag("--yes", o.yes,
                    "Answer OK to prompts such as \"HOLD THE ON_LINE BUTTON...\" (else asked on "
                    "the terminal)");
        c->add_flag("--json", o.json, "Print one JSON object at the end");
    };
    auto* read = app.add_subcommand("read", "Read NVM");
    add_common(read);
    read->add_option("--save", o.save, "Write the setup file (load-setup frame) of the image read")
        ->check(kNamesAFile);
    read->add_option("--image", o.image,
                     "Store the raw 2048-byte image (with --modules: the image to show)")
        ->check(kNamesAFile);
    read->add_option("--modules", o.modules,
                     "Build the editor from this stored description (a modules.txt) and the "
                     "--image file instead of asking a printer")
        ->check(kNamesAFile);
    auto* write = app.add_subcommand("write", "Read NVM, then Write NVM of the same image");
    add_common(write);
    write->add_option("--set", o.set,
                      "LABEL=VALUE, or #ROW=VALUE where labels repeat: an edit made after the "
                      "read, as in the window (repeatable)");
    write
        ->add_option("--save", o.save,
                     "The file the save dialog receives (without it the dialog is cancelled)")
        ->check(kNamesAFile);
    auto* restore = app.add_subcommand("restore", "Restore MFG, then Read NVM of the defaults");
    add_common(restore);
    restore
        ->add_option("--save", o.save, "Write the setup file (load-setup frame) of the image read")
        ->check(kNamesAFile);
    restore->add_option("--image", o.image, "Store the raw 2048-byte image read")
        ->check(kNamesAFile);
    add_common(app.add_subcommand("exit-setup", "Exit from SETUP"));
    auto add_setup_sources = [&](CLI::App* c) {
        add_common(c);
        c->add_option("--modules", o.modules,
                      "The parameter description to show the rows by (default: modules.txt in "
                      "the working directory; for the printer, the one it sends)")
            ->check(kNamesAFile);
    };
    auto* show = app.add_subcommand("show", "The parameter rows of a setup");
    add_setup_sources(show);
    show->add_option("SOURCE", o.sources,
                     "\"printer\" (the printer on -i ENTRY, read as read does), a setup file or "
                     "a raw 2048-byte image")
        ->required()
        ->expected(1);
    show->add_option("--profile", o.profile,
                     "Also write the setup as a profile that apply takes back")
        ->check(kNamesAFile);
    auto* diff = app.add_subcommand("diff", "What differs between two setups");
    add_setup_sources(diff);
    diff->add_option("SOURCES", o.sources, "A B: the two SOURCEs, as show takes them")
        ->required()
        ->expected(2);
    auto* apply = app.add_subcommand("apply", "Make a printer's setup what a profile asks");
    add_setup_sources(apply);
    apply->add_option("PROFILE", o.profile, "The profile (JSON), as show --profile writes it")
        ->required()
        ->check(kNamesAFile);
    apply->add_flag("--check", o.check,
                    "Only report what would change; nothing is sent after the read");
    apply
        ->add_option("--save", o.save,
                     "Write the setup file of what the printer ends with (not with --check)")
        ->check(kNamesAFile);
    for (auto* c : kp28setup_cli::add_maintenance_commands(app)) add_common(c);
    kp28setup_cli::DoctorOptions doctor_options;
    auto* doctor = kp28setup_cli::add_doctor(app, doctor_options);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? kExitOk : kExitUsage;
    }
    try {
        if (doctor->parsed()) return kp28setup_cli::run_doctor(doctor_options);
        const std::string command = app.get_subcommands().front()->get_name();
        if (kp28setup_cli::wants_multi_send(command))
            return kp28setup_cli::run_multi_send(kp28setup_cli::maintenance_options().file,
                                                 o.interface, o.json, g_stop);
        return run(command, o);
    } catch (const std::exception& e) {
        std::cerr << "kp28setup: " << e.what() << "\n";
        return kExitFailed;
    }
}
