// "Load FW", "Reboot" and "USB ID": the updater as a child for printers on
// the USB library link, and the firmware image sent directly over a parallel
// port, the printer's USB CDC port or FTP. The helper files live in the run
// directory, never beside the operator's files.
#include <filesystem>
#include <thread>

#include "kp28setup/session.h"
#include "link_state.h"

namespace kp28setup {

namespace {

constexpr const char* kLoadTitle = "LOADING FIRMWARE";
constexpr const char* kCoverPrompt = "OPEN COVER, PRESS KEY S1 and TURN ON THE PRINTER";
constexpr const char* kLoadReport = "DOWLOADING FIRMWARE ACTION REPORT";
constexpr const char* kCdcSpeed = "115200,n,8,1";

std::string absolute_path(const std::string& p) {
    std::error_code ec;
    const auto a = std::filesystem::absolute(p, ec);
    return ec ? p : a.lexically_normal().string();
}

// Characters of UTF-8 text, as the operator counts them.
std::size_t characters(const std::string& s) {
    std::size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

}  // namespace

void Session::set_window_enabled(bool on) {
    if (window_enabled_ == on) return;
    window_enabled_ = on;
    notify(Change::WindowEnabled);
}

void Session::set_wait_window(bool shown) {
    wait_shown_ = shown;
    notify(Change::WaitWindow);
    d_.op.wait_window(shown);
}

void Session::maintenance_failed(const std::string& title, const std::string& what) {
    message(title, what, Icon::Critical);
}

void Session::empty_report_file() {
    std::string why;
    if (!write_text_file(links().run_dir.file(kReportFileName), "", &why))
        throw std::runtime_error("the report file could not be emptied: " + why);
}

void Session::show_report(const std::string& caption) {
    report_.shown = true;
    report_.caption = caption;
    report_.lines.clear();
    if (links().run_dir.made()) report_.lines = read_lines(links().run_dir.file(kReportFileName));
    notify(Change::ReportWindow);
    d_.op.report(report_.caption, report_.lines);
}

void Session::OKButton_Click() {
    try {
        empty_report_file();
    } catch (const std::exception&) {
        // Nothing to empty: the run directory could not be made.
    }
    report_ = ReportWindow{};
    notify(Change::ReportWindow);
}

void Session::run_updater(const std::vector<std::string>& args, const std::string& caption) {
    auto& dir = links().run_dir;
    updater_exit_.reset();
    std::string why;
    const std::string ini = dir.file(kIniFileName);
    const std::optional<std::string> program = updater_.empty() ? find_updater() : updater_;
    ChildExit ran;
    if (!program) {
        ran.reason =
            "Kp28FWUpdate was found neither beside this program nor on PATH (KP28FWUPDATE names "
            "it)";
    } else if (!write_text_file(ini, updater_ini_text(), &why)) {
        ran.reason = ini + ": " + why;
    } else {
        std::vector<std::string> argv{*program};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back("-log");
        argv.push_back(dir.file(kReportFileName));
        ran = run_and_wait(
            argv, dir.path(), [this] { process_events(); }, std::chrono::milliseconds(100),
            [this] {
                return (d_.stop && d_.stop->requested()) ||
                       (d_.observer && d_.observer->stop_requested());
            });
    }
    d_.pause(std::chrono::milliseconds(2));
    std::error_code ec;
    std::filesystem::remove(ini, ec);
    report_.caption = caption;
    if (ran.started) {
        maintenance_done_ = true;
        // -1: the updater did not exit by itself (a signal ended it).
        updater_exit_ = ran.exit_code.value_or(-1);
    } else {
        maintenance_failed("ATTENTION !!!", "The updater could not be started: " + ran.reason);
    }
}

// The "copy FILE LPTn:/b" of the batch file, done here: the image goes to the
// node of the entry's parallel port byte for byte.
bool Session::load_fw_lpt(const std::string& firmware) {
    std::string why;
    const std::string bat = links().run_dir.file(kBatchFileName);
    if (!write_text_file(bat, "copy " + firmware + " " + Interface + ":/b\r\n", &why)) {
        maintenance_failed(kLoadTitle, bat + ": " + why);
        return false;
    }
    const auto file = read_whole_file(firmware, &why, kMaxFirmwareFile);
    if (!file) {
        maintenance_failed(kLoadTitle,
                           "The firmware image could not be read: " + firmware + ": " + why);
        return false;
    }
    const char digit = Interface.size() > 3 ? Interface[3] : '\0';
    const auto node = parallel_node(digit);
    if (!node) {
        maintenance_failed(kLoadTitle, "There is no parallel port " + Interface);
        return false;
    }
    const SendResult r = write_to_node(*node, *file, d_.limits.link_write);
    if (!r.ok) {
        maintenance_failed(kLoadTitle, "The firmware image could not be copied to " + Interface +
                                           " (" + *node + "): " + r.reason);
        return false;
    }
    return true;
}

bool Session::load_fw_cdc(const std::string& firmware) {
    Interface = list_.selected_counterpart();
    std::string why;
    const auto file = read_whole_file(firmware, &why, kMaxFirmwareFile);
    bool ok = false;
    try {
        open_com_port();
    } catch (const CommError&) {
        // Reported by open_com_port; the push below meets the closed port.
    }
    set_wait_window(true);
    process_events();
    try {
        drain_and_close();
        d_.port.set_settings(kCdcSpeed);
        d_.port.open();
        if (!file) {
            maintenance_failed(kLoadTitle,
                               "The firmware image could not be read: " + firmware + ": " + why);
        } else {
            for (const auto piece : pieces(*file)) write_bytes({piece.begin(), piece.end()});
            // Closing a port drops what it has not sent yet.
            ok = d_.port.drain(d_.limits.link_write);
            if (!ok)
                maintenance_failed(kLoadTitle,
                                   "The firmware image did not leave " + Interface + " within " +
                                       std::to_string(d_.limits.link_write.count()) + " ms");
        }
    } catch (const CommError& e) {
        maintenance_failed(
            kLoadTitle, "The firmware image could not be sent to " + Interface + ": " + e.what());
        ok = false;
    }
    d_.port.close();
    set_wait_window(false);
    process_events();
    return ok;
}

// The batch file and the FTP script are written as the command-line client
// would take them; the upload itself is made here with the script's settings.
bool Session::load_fw_lan(const std::string& firmware) {
    auto& dir = links().run_dir;
    std::string why;
    const std::string script = dir.file(kFtpScriptName);
    const std::string bat = dir.file(kBatchFileName);
    if (!write_text_file(script, ftp_script_text(firmware), &why) ||
        !write_text_file(bat, "ftp -s:" + std::string(kFtpScriptName) + " " + ip_string + "\r\n",
                         &why)) {
        maintenance_failed(kLoadTitle, dir.path() + ": " + why);
        return false;
    }
    const auto to = parse_host_port(ip_string, kFtpPort);
    if (!to) {
        maintenance_failed(kLoadTitle, "Not an address: " + ip_string);
        return false;
    }
    FtpUpload u{to->host, to->port, kFtpUser, kFtpPassword, kFtpFolder, firmware};
    if (!ftp_upload(u, &why)) {
        maintenance_failed(kLoadTitle,
                           "The firmware image could not be sent to " + ip_string + ": " + why);
        return false;
    }
    return true;
}

void Session::cmdLoadFW_Click() {
    maintenance_done_ = false;
    updater_exit_.reset();
    Interface = list_.selected_text();
    try {
        empty_report_file();
    } catch (const std::exception& e) {
        return maintenance_failed(kLoadTitle, e.what());
    }
    FileDialog dlg;
    dlg.title = "SELECT FIRMWARE IMAGE";
    dlg.filter = "File *.img (*.img)|*.img";
    const auto chosen = d_.op.open_file(dlg);
    if (!chosen || chosen->empty()) return;
    const std::string firmware = absolute_path(*chosen);
    set_pointer(PointerTarget::Screen, Pointer::Hourglass);
    set_window_enabled(false);
    const std::string kind = Interface.substr(0, 3);
    auto cancelled = [&] {
        if (d_.op.show(Message{kLoadTitle, kCoverPrompt, Icon::None, true})) return false;
        set_window_enabled(true);
        set_pointer(PointerTarget::Screen, Pointer::Default);
        return true;
    };

    if (kp28plus_checked_) {
        if (kind == "LPT") {
            if (cancelled()) return;
            maintenance_done_ = load_fw_lpt(firmware);
        } else if (kind == "USB" && list_.check1) {
            if (cancelled()) return;
            maintenance_done_ = load_fw_cdc(firmware);
        } else if (kind == "USB") {
            set_wait_window(true);
            run_updater({"-url", firmware}, kLoadReport);
            set_wait_window(false);
            show_report(kLoadReport);
        } else {
            message(kLoadTitle, "NOT AVAIABLE ON THIS VERSION", Icon::Information);
        }
        set_window_enabled(true);
        set_pointer(PointerTarget::Screen, Pointer::Default);
        return;
    }

    bool failed = false;
    if (kind == "LPT") {
        if (cancelled()) return;
        maintenance_done_ = load_fw_lpt(firmware);
        failed = !maintenance_done_;
    } else if (kind == "LAN") {
        ask_ip_address();
        if (ip_string.empty()) {
            set_pointer(PointerTarget::Screen, Pointer::Default);
            set_window_enabled(true);
            return;
        }
        maintenance_done_ = load_fw_lan(firmware);
        failed = !maintenance_done_;
    } else {
        set_wait_window(true);
        run_updater({"-url", firmware}, kLoadReport);
    }
    if (kind != "LAN" && kind != "LPT") {
        set_wait_window(false);
        set_window_enabled(true);
        set_pointer(PointerTarget::Screen, Pointer::Default);
        show_report(kLoadReport);
    }
    set_pointer(PointerTarget::Screen, Pointer::Default);
    // After a copy or an upload that failed, nothing is on its way to the
    // printer: its failure box stands instead of the wait for a restart.
    if (!failed) message("ATTENTION !!!", "WAIT UNTIL THE PRINTER TO BE RE-INITIALIZE", Icon::None);
    if (kind == "LAN") {
        std::error_code ec;
        std::filesystem::remove(links().run_dir.file(kFtpScriptName), ec);
    }
    set_window_enabled(true);
}

void Session::cmdReboot_Click() {
    maintenance_done_ = false;
    updater_exit_.reset();
    set_wait_window(true);
    set_pointer(PointerTarget::Screen, Pointer::Hourglass);
    set_window_enabled(false);
    try {
        empty_report_file();
        run_updater({"-r"}, "REBOOT ACTION REPORT");
    } catch (const std::exception& e) {
        maintenance_failed("ATTENTION !!!", e.what());
    }
    set_wait_window(false);
    set_window_enabled(true);
    set_pointer(PointerTarget::Screen, Pointer::Default);
    show_report("REBOOT ACTION REPORT");
}

void Session::cmdUSB_ID_Click() {
    constexpr const char* kCaption = "RECORDING USB SERIAL NUMBER ACTION REPORT";
    maintenance_done_ = false;
    updater_exit_.reset();
    try {
        empty_report_file();
    } catch (const std::exception& e) {
        return maintenance_failed("ATTENTION !!!", e.what());
    }
    const std::string id =
        d_.op.input("USB ID RECORDING (MAX 32 CRT)", "INSERT SERIAL USB ID: ", "0").value_or("");
    if (characters(id) > 32) {
        printed_.push_back("ERRORE LUNGHEZZA");
        notify(Change::Printed);
        message("ATTENTION !!!", "LENGHT OF USB IB ERROR !!!", Icon::Critical);
        return;
    }
    if (id.empty()) return;
    set_pointer(PointerTarget::Screen, Pointer::Hourglass);
    set_window_enabled(false);
    set_wait_window(true);
    run_updater({"-uid", id}, kCaption);
    set_wait_window(false);
    set_window_enabled(true);
    set_pointer(PointerTarget::Screen, Pointer::Default);
    show_report(kCaption);
}

}  // namespace kp28setup
