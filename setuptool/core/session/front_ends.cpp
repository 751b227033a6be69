// "Load FW", "Reboot" and "USB ID": the updater as a child for printers on
// the USB library link, and the firmware image sent directly over a parallel
// port, the printer's USB CDC port or FTP. The helper files live in the run
// directory, never beside the operator's files.
#include <filesystem>

#include "kp28setup/files.h"
#include "kp28setup/session.h"
#include "link_state.h"

namespace kp28setup {

namespace {

constexpr const char* kLoadTitle = "LOADING FIRMWARE";
constexpr const char* kCoverPrompt = "OPEN COVER, PRESS KEY S1 and TURN ON THE PRINTER";
constexpr const char* kLoadReport = "DOWLOADING FIRMWARE ACTION REPORT";

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
    fail(what);
    message(title, what, Icon::Critical);
}

bool Session::maintenance_result(const std::string& title, const std::string& failure) {
    if (failure.empty()) return true;
    maintenance_failed(title, failure);
    return false;
}

void Session::note_updater_exit() {
    outcome_.updater_exit = updater_exit_;
    if (!maintenance_done_) return;
    if (!updater_exit_ || *updater_exit_ == 0) return succeed();
    fail(*updater_exit_ < 0 ? std::string("the updater was ended by a signal")
                            : "the updater ended with exit code " + std::to_string(*updater_exit_));
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
    updater_exit_.reset();
    const ChildExit ran = kp28setup::run_updater(
        links().run_dir, updater_.empty() ? find_updater() : updater_, args,
        [this] { process_events(); },
        [this] {
            return (d_.stop && d_.stop->requested()) ||
                   (d_.observer && d_.observer->stop_requested());
        });
    d_.pause(std::chrono::milliseconds(2));
    report_.caption = caption;
    if (ran.started) {
        maintenance_done_ = true;
        // -1: the updater did not exit by itself (a signal ended it).
        updater_exit_ = ran.exit_code.value_or(-1);
    } else {
        maintenance_failed("ATTENTION !!!", "The updater could not be started: " + ran.reason);
    }
}

bool Session::load_fw_cdc(const std::string& firmware) {
    Interface = list_.selected_counterpart();
    std::string why;
    const auto file = read_whole_file(firmware, &why, kMaxFirmwareFile);
    try {
        open_com_port();
    } catch (const CommError&) {
        // Reported by open_com_port; the push below meets the closed port.
    }
    set_wait_window(true);
    process_events();
    const std::string failure = push_firmware_cdc(
        line_, file, "The firmware image could not be read: " + firmware + ": " + why, Interface);
    const bool ok = maintenance_result(kLoadTitle, failure);
    set_wait_window(false);
    process_events();
    return ok;
}

bool Session::load_fw_lpt(const std::string& firmware) {
    const char digit = Interface.size() > 3 ? Interface[3] : '\0';
    return maintenance_result(
        kLoadTitle, copy_firmware_to_parallel(links().run_dir, firmware, Interface,
                                              parallel_node(digit), d_.limits.link_write));
}

bool Session::load_fw_lan(const std::string& firmware) {
    return maintenance_result(kLoadTitle,
                              upload_firmware_lan(links().run_dir, firmware, ip_string));
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
            fail("NOT AVAIABLE ON THIS VERSION");
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
        fail("LENGHT OF USB IB ERROR !!!");
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
