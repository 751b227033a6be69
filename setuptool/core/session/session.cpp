#include "kp28setup/session.h"

#include <kp28/nvm_crc.h>
#include <kp28/ports/ports.h>
#include <kp28/protocol/setup.h>

#include <filesystem>
#include <thread>

#include "kp28setup/comm_events.h"
#include "kp28setup/files.h"
#include "kp28setup/text.h"

namespace kp28setup {

namespace {

constexpr const char* kNvmNotRead = "NVM not red";
constexpr const char* kSetupNotSaved = "SETUP not saved";
constexpr const char* kRestoreNotDone = "RestoreMFG not executed";
constexpr const char* kNotInSetupMode = "PRINTER IS NOT IN SETUP MODE";
constexpr const char* kHoldOnLine = "HOLD THE ON_LINE BUTTON and TURN ON THE PRINTER";

constexpr const char* kNotReceived = "parameter description not received";
// How long the line must stay silent before a cut exchange counts as over.
constexpr std::chrono::milliseconds kQuiet{300};
// The identity replies are shown from their sixth character, at most this many.
constexpr std::size_t kShownReply = 100;

SessionDeps with_default_pause(SessionDeps d) {
    if (!d.pause) d.pause = [](std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); };
    return d;
}

std::string mid(const std::string& s, std::size_t from, std::size_t n) {
    return from < s.size() ? s.substr(from, n) : std::string();
}

bool starts_with(const std::string& s, const char* p) {
    return s.rfind(p, 0) == 0;
}

}  // namespace

Session::Session(SessionDeps deps)
    : d_(with_default_pause(std::move(deps))),
      line_(d_.port, d_.limits, d_.pause, d_.stop, [this] { process_events(); }) {
    if (d_.editor) d_.editor->bind_image(nvm_image, plus_model);
    for (auto t : {PointerTarget::Window, PointerTarget::Screen, PointerTarget::ReadNvm,
                   PointerTarget::WriteNvm, PointerTarget::RestoreMfg})
        pointers_[t] = Pointer::Default;
    commands_.apply(situation::kWindowCreated);
    d_.port.set_event_handler([this](int e) { MSComm1_OnComm(e); });
}

// --- state changes ---

void Session::notify(Change c) {
    if (d_.observer) d_.observer->changed(c);
}

void Session::process_events() {
    if (d_.observer) d_.observer->process_events();
}

void Session::fail(const std::string& why) {
    if (!outcome_.done && outcome_.reason.empty()) outcome_.reason = why;
    outcome_.done = false;
}

Outcome Session::run(Command c) {
    outcome_ = Outcome{};
    switch (c) {
        case Command::ReadNvm:
            cmd_readNVM_Click();
            break;
        case Command::WriteNvm:
            cmd_Save_Click();
            break;
        case Command::RestoreMfg:
            cmd_restMFG_Click();
            break;
        case Command::SendSetup:
            cmd_Send_Setup_Click();
            break;
        case Command::ExitSetup:
            Command2_Click();
            break;
        case Command::Reboot:
            cmdReboot_Click();
            note_updater_exit();
            break;
        case Command::LoadFw:
            cmdLoadFW_Click();
            note_updater_exit();
            break;
        case Command::UsbId:
            cmdUSB_ID_Click();
            note_updater_exit();
            break;
        case Command::Refresh:
            Command1_Click();
            succeed();
            break;
    }
    if (stop_requested()) {
        // What the printer already holds stays done; anything else was cut.
        if (!outcome_.done) fail("stopped from outside");
    }
    if (outcome_.done)
        outcome_.reason.clear();
    else if (outcome_.reason.empty())
        outcome_.reason = "cancelled";
    Outcome out = outcome_;
    outcome_ = Outcome{};
    return out;
}

void Session::apply(const Enablement& e) {
    if (commands_.apply(e)) notify(Change::Commands);
}

void Session::set_command(Command c, bool on) {
    if (commands_.set(c, on)) notify(Change::Commands);
}

void Session::set_pointer(PointerTarget t, Pointer p) {
    if (pointers_[t] == p) return;
    pointers_[t] = p;
    notify(Change::Pointer);
}

void Session::set_text1(const std::string& bytes) {
    text1_bytes_ = bytes.substr(0, bytes.find('\0'));
    text1_ = cp1252_to_utf8(text1_bytes_);
    notify(Change::Text1);
}

void Session::set_status(const std::string& s) {
    status_ = s;
    notify(Change::Status);
}

void Session::show_model(bool plus) {
    plus_displayed_ = plus;
    kp28plus_checked_ = plus;
    kp28_checked_ = !plus;
    notify(Change::ModelDisplay);
}

void Session::message(const std::string& title, const std::string& text, Icon icon) {
    d_.op.show(Message{title, text, icon, false});
}

// --- window start, menus, interface list ---

void Session::Form_Load() {
    last_comm_error.clear();
    kp28plus_checked_ = true;
    kp28_checked_ = false;
    notify(Change::ModelDisplay);
    if (d_.editor) d_.editor->clear_editor();
    prepare_link();
    show_model(true);
}

void Session::prepare_link() {
    Command1_Click();
    if (list_.port.empty()) {
        apply(situation::kInterfaceListEmpty);
        return;
    }
    d_.port.set_settings(kSetupSpeed);
}

void Session::Command1_Click() {
    list_ = InterfaceList{};
    const std::vector<PortInfo> ports = d_.scan_ports ? d_.scan_ports() : std::vector<PortInfo>{};
    for (const auto& p : ports) {
        if (p.kind != PortInfo::Kind::Serial) continue;
        list_.list1.push_back(p.name);
        list_.nodes.push_back(p.node);
        if (p.cdc) {
            list_.port.push_back(kCdcEntry);
            apply(situation::kCdcPortFound);
            set_pointer(PointerTarget::RestoreMfg, Pointer::Default);
            list_.check1 = true;
            if (!kp28plus_checked_) {
                kp28plus_checked_ = true;
                notify(Change::ModelDisplay);
            }
        } else {
            list_.port.push_back(p.name);
        }
    }
    for (const auto& p : ports) {
        if (p.kind != PortInfo::Kind::Parallel) continue;
        const std::string last4 = p.name.size() > 4 ? p.name.substr(p.name.size() - 4) : p.name;
        if (!starts_with(last4, "LPT")) continue;
        list_.list1.push_back(last4);
        list_.nodes.push_back(p.node);
        list_.port.push_back(last4);
    }
    bool has_cdc = false;
    for (const auto& e : list_.port) has_cdc |= e == kCdcEntry;
    if (!has_cdc) list_.port.push_back(kUsbEntry);
    // The network commands test for a "LAN" entry; the list is where the
    // operator finds it.
    list_.port.push_back(kLanEntry);
    notify(Change::Interfaces);
    select_interface(0);
    if (starts_with(list_.selected_text(), "COM") && !list_.check1)
        apply(situation::kComSelectedAfterRefresh);
}

void Session::select_interface(int index) {
    list_.selected = index;
    notify(Change::Interfaces);
    port_Click();
}

void Session::port_Click() {
    const CommandChanges ch =
        port_click_changes(list_.check1, list_.selected_text(), kp28plus_checked_);
    bool changed = false;
    for (std::size_t i = 0; i < kCommandCount; ++i)
        if (ch[i]) changed |= commands_.set(static_cast<Command>(i), *ch[i]);
    if (changed) notify(Change::Commands);
}

void Session::mnu_SetProgramforKP28Plus_Click() {
    show_model(true);
    apply(situation::kMenuKp28Plus);
    port_Click();
}

void Session::mnuSetProgramforKP28_Click() {
    show_model(false);
    apply(situation::kMenuKp28);
    port_Click();
}

void Session::img_Esci_Click() {
    end_program();
}

void Session::end_program() {
    line_.drain_and_close();
    ended_ = true;
    notify(Change::ProgramEnded);
}

void Session::open_com_port() {
    const int remembered = d_.port.port_number();
    const std::string entry = list_.selected_counterpart();
    if (entry.empty()) return;
    const auto number = kp28::ports::com_number_of_name(entry);
    bool trap = true;
    // Each step runs under the trap; the table below decides whether the
    // next step still runs.
    auto on_error = [&](const CommError& e) -> bool {
        if (!trap) throw e;
        switch (e.code()) {
            case kErrInvalidPortNumber:
                fail("Invalid Port");
                message(" ", "Invalid Port", Icon::Critical);
                trap = false;
                if (remembered > 0 && !d_.port.is_open()) {
                    d_.port.set_port_number(remembered);
                    d_.port.open();
                }
                return true;
            case kErrPortAlreadyOpen:
                fail("Porta già aperta");
                message(" ", "Porta già aperta", Icon::Critical);
                return true;
            case kErrPortNotOpen:
                fail("Invalid Port");
                message(" ", "Invalid Port", Icon::Critical);
                trap = false;
                if (remembered > 0 && !d_.port.is_open()) {
                    d_.port.set_port_number(remembered);
                    d_.port.open();
                }
                return false;
            default:
                fail("COMM error " + std::to_string(e.code()) + ": " + e.what());
                message(std::to_string(e.code()), "???????", Icon::Critical);
                return false;
        }
    };
    if (!number) {
        on_error(CommError(kErrTypeMismatch, "not a port number: " + entry));
        return;
    }
    if (*number == remembered) return;
    const std::function<void()> steps[] = {
        [&] { line_.drain_and_close(); },
        [&] { d_.port.set_port_number(*number); },
        [&] {
            if (!d_.port.is_open()) d_.port.open();
        },
    };
    for (const auto& step : steps) {
        try {
            step();
        } catch (const CommError& e) {
            if (!on_error(e)) return;
        }
    }
}

// --- reports ---

void Session::show_comm_error() {
    const std::string text = "COMM error(" + last_comm_error + "): " + failed_operation;
    fail(text);
    message(" ", text, Icon::Critical);
    line_.drop_pending_input();
}

void Session::note_failure(const CommError& e) {
    // A silent line names itself, unless the line already told why.
    if ((e.code() == kErrTimeout || e.code() == kErrPastDeadline) && last_comm_error.empty())
        last_comm_error = "TimeOut";
}

void Session::MSComm1_OnComm(int comm_event) {
    set_status(comm_status_text(comm_event));
    if (const auto err = comm_error_text(comm_event)) last_comm_error = *err;
    if (comm_event == kEvTxFull) d_.port.discard_output();
}

// --- model and identity ---

void Session::detect_printer_model() {
    const bool plus = line_.query_model();
    plus_model = plus ? 1 : 0;
    show_model(plus);
    process_events();
}

bool Session::identify_printer() {
    const std::string reply = line_.query_product_name();
    set_text1("Printer: " + mid(reply, 5, kShownReply));
    d_.pause(std::chrono::milliseconds(550));
    if (reply.empty()) return false;
    if (reply.find("KP28+") != std::string::npos || reply.find("KP28plus") != std::string::npos) {
        show_model(true);
        set_command(Command::ExitSetup, true);
    }
    const std::string reply2 = line_.query_firmware_version();
    set_text1(text1_bytes_ + " - FW: " + mid(reply2, 5, kShownReply));
    apply(situation::kNormalMode);
    return true;
}

// --- NVM read ---

// Every link but USB needs the printer switched into setup mode by hand
// first; a cancelled prompt leaves the window as it was.
bool Session::ask_for_setup_mode() {
    Interface = list_.selected_text();
    if (Interface.substr(0, 3) == "USB") return true;
    if (d_.op.show(Message{"PRINTER SETUP", kHoldOnLine, Icon::None, true})) return true;
    fail("cancelled at the prompt \"" + std::string(kHoldOnLine) + "\"");
    window_enabled_ = true;
    notify(Change::WindowEnabled);
    set_pointer(PointerTarget::Screen, Pointer::Default);
    return false;
}

void Session::cmd_readNVM_Click() {
    if (!ask_for_setup_mode()) return;
    cmd_readNVM_Function();
}

void Session::cmd_readNVM_Function() {
    set_pointer(PointerTarget::Window, Pointer::Hourglass);
    set_pointer(PointerTarget::ReadNvm, Pointer::Hourglass);
    process_events();
    failed_operation = kNvmNotRead;
    last_comm_error.clear();
    try {
        open_com_port();
    } catch (const CommError&) {
        // Reported by open_com_port; the port stays closed.
    }
    if (d_.port.is_open())
        read_nvm();
    else
        apply(situation::kReadFailed);
    if (commands_.enabled(Command::WriteNvm)) {
        bool described = d_.editor == nullptr;
        if (last_comm_error.empty() && d_.editor) described = build_editor();
        if (!described && last_comm_error.size())
            fail("COMM error(" + last_comm_error + "): the parameter editor was not built");
        if (last_comm_error.empty()) set_command(Command::WriteNvm, true);
        const std::string fw(nvm_image.begin(), nvm_image.begin() + 8);
        const std::string rel(nvm_image.begin() + 8, nvm_image.begin() + 24);
        set_text1("FW: " + fw + " - " + rel);
        set_pointer(PointerTarget::Window, Pointer::Default);
        set_pointer(PointerTarget::ReadNvm, Pointer::Default);
        // A read without its editor has not done its job.
        if (described && commands_.enabled(Command::WriteNvm)) succeed();
    } else {
        set_pointer(PointerTarget::ReadNvm, Pointer::Default);
        set_pointer(PointerTarget::Window, Pointer::Default);
        fail(kNotInSetupMode);
        message("WARNING", kNotInSetupMode, Icon::Exclamation);
    }
}

bool Session::build_editor() {
    const FetchResult f = line_.fetch_description();
    if (f.ok) {
        std::string file_error;
        if (!write_file_whole(d_.modules_path, f.bytes, &file_error)) {
            // The editor is still built from what arrived; the file is only its record.
            const std::string text =
                "modules.txt could not be written: " + absolute_path(d_.modules_path) + ": " +
                file_error;
            message("WARNING", text, Icon::Critical);
            d_.editor->note_fetch_warning(text);
        }
        d_.editor->build_from_description(f.bytes);
        if (const auto summary = d_.editor->warnings_summary(); !summary.empty())
            set_status(summary);
        if (d_.editor->complete()) return true;
        fail("the parameter description has no end line");
        return false;
    }
    if ((f.error_code == kErrTimeout || f.error_code == kErrPastDeadline) &&
        last_comm_error.empty())
        last_comm_error = "TimeOut";
    failed_operation = std::string(kNotReceived) + " (" + f.problem + ")";
    show_comm_error();
    // The printer may still be sending: what it sends must not be read as
    // the reply to the next command.
    line_.wait_for_quiet(kQuiet, d_.limits.byte);
    // A description that ended badly does not replace the last good one,
    // but the rows of the last build describe an image that has been replaced.
    const std::string problem = "The parameter description was not received: " + f.problem;
    d_.editor->fail_build(problem);
    set_status(problem);
    return false;
}

void Session::read_nvm() {
    failed_operation = kNvmNotRead;
    last_comm_error.clear();
    NvmReceived got;
    // What came stands, however the transfer ended.
    auto take = [&] {
        if (got.length != 0) nvm_length = got.length;
        if (got.older_order) plus_model = 0;
        std::copy_n(got.trailer.begin(), got.trailer_read, crc_trailer.begin());
    };
    try {
        line_.discard_input();
        if (kp28_checked_)
            plus_model = 0;
        else
            detect_printer_model();
        if (plus_model == 1) {
            apply(situation::kPlusInSetupMode);
        } else {
            if (identify_printer()) return;
            line_.reconfigure(kSetupSpeed);
            apply(situation::kKp28InSetupMode);
        }
        line_.read_nvm(nvm_image, plus_model == 1, got);
        take();
    } catch (const CommError& e) {
        take();
        note_failure(e);
        show_comm_error();
        apply(situation::kReadFailed);
        return;
    } catch (const NoImage&) {
        take();
        show_comm_error();
        apply(situation::kReadFailed);
        return;
    }
    const auto n = static_cast<std::size_t>(nvm_length);
    crc_computed = kp28::nvm_crc(nvm_image, n, plus_model == 1);
    if (crc_computed != crc_trailer) {
        last_comm_error = "CRC error";
        show_comm_error();
        apply(situation::kReadFailed);
    }
}

// --- NVM write ---

void Session::cmd_Save_Click() {
    set_pointer(PointerTarget::Window, Pointer::Hourglass);
    set_pointer(PointerTarget::WriteNvm, Pointer::Hourglass);
    process_events();
    try {
        open_com_port();
    } catch (const CommError&) {
        // Reported by open_com_port; the write meets the closed port.
    }
    write_nvm();
    set_pointer(PointerTarget::Window, Pointer::Default);
    set_pointer(PointerTarget::WriteNvm, Pointer::Default);
}

void Session::write_nvm() {
    failed_operation = kSetupNotSaved;
    last_comm_error.clear();
    write_confirmed_ = false;
    // A length never reaches past the image, whatever was read.
    const std::size_t n =
        std::min<std::size_t>(static_cast<std::size_t>(std::max<int>(nvm_length, 0)), kNvmSize);
    std::array<std::uint8_t, 4> echo{};
    std::optional<std::array<std::uint8_t, 4>> sent;
    try {
        line_.write_nvm(nvm_image, n, plus_model == 1, sent, echo);
        crc_computed = crc_trailer = *sent;
    } catch (const CommError& e) {
        if (sent) crc_computed = crc_trailer = *sent;
        note_failure(e);
        show_comm_error();
        return;
    }
    if (echo != crc_trailer) {
        last_comm_error = "CRC error";
        show_comm_error();
        return;
    }
    write_confirmed_ = true;
    // The printer now holds the edited values: they are what was read.
    if (d_.editor) d_.editor->set_baseline();
    succeed();
    // Asked to stop during the transfer: the printer has its image, and the
    // stop takes effect before anything else is asked.
    if (stop_requested()) return;
    if (!save_setup_file()) {
        outcome_.done = false;
        outcome_.reason = "the printer took the image, but the setup file was not saved";
    }
}

bool Session::save_setup_file() {
    FileDialog dlg;
    dlg.file_name = "wnvm";
    dlg.default_ext = "dmp";
    dlg.filter = "dmp";
    std::error_code ec;
    dlg.initial_dir = std::filesystem::current_path(ec).string();
    dlg.flags = 0x8000;
    const auto path = d_.op.save_file(dlg);
    if (!path) return true;
    return write_setup_file(*path, true);
}

bool Session::write_setup_file(const std::string& path, bool after_write) {
    const std::size_t n =
        std::min<std::size_t>(static_cast<std::size_t>(std::max<int>(nvm_length, 0)), kNvmSize);
    const std::vector<std::uint8_t> file =
        kp28::load_setup_frame(std::span<const std::uint8_t>(nvm_image.data(), n), crc_trailer);
    std::string why;
    if (write_file_whole(path, file, &why)) return true;
    const std::string what = "the setup file " + path + " could not be written: " + why;
    message("WARNING",
            after_write ? "The NVM was written to the printer, but " + what
                        : "The NVM was read, but " + what,
            Icon::Critical);
    return false;
}

// --- restore and exit ---

void Session::cmd_restMFG_Click() {
    if (!ask_for_setup_mode()) return;
    set_pointer(PointerTarget::RestoreMfg, Pointer::Hourglass);
    failed_operation = kRestoreNotDone;
    last_comm_error.clear();
    try {
        open_com_port();
        line_.discard_input();
        detect_printer_model();
        if (plus_model == 1) {
            apply(situation::kPlusInSetupMode);
        } else {
            if (identify_printer()) {
                set_pointer(PointerTarget::RestoreMfg, Pointer::Default);
                fail(kNotInSetupMode);
                message("WARNING", kNotInSetupMode, Icon::Exclamation);
                return;
            }
            line_.reconfigure(kSetupSpeed);
            apply(situation::kKp28InSetupMode);
        }
        line_.write_text("R");
        // The restore is done when the read of the defaults after it is.
        cmd_readNVM_Function();
    } catch (const CommError& e) {
        note_failure(e);
        show_comm_error();
        apply(situation::kReadFailed);
    }
    set_pointer(PointerTarget::RestoreMfg, Pointer::Default);
}

void Session::Command2_Click() {
    try {
        open_com_port();
    } catch (const CommError&) {
        // Reported by open_com_port.
    }
    d_.pause(std::chrono::milliseconds(500));
    bool asked = false;
    try {
        line_.discard_input();
        detect_printer_model();
        asked = true;
    } catch (const CommError&) {
        // A port that takes no "n" has no KP28Plus behind it.
    }
    if (asked && plus_model == 1) {
        try {
            line_.write_text("g");
        } catch (const CommError&) {
            // The program ends as it would have; there is nobody left to tell.
        }
        end_program();
        succeed();
        return;
    }
    fail("COMMAND NOT AVAIABLE ON THIS PRINTER");
    message("WARNING", "COMMAND NOT AVAIABLE ON THIS PRINTER", Icon::Exclamation);
}

}  // namespace kp28setup
