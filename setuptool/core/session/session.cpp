#include "kp28setup/session.h"

#include <kp28/nvm_crc.h>
#include <kp28/protocol/commands.h>
#include <kp28/protocol/setup.h>

#include <filesystem>
#include <thread>

#include "kp28setup/comm_events.h"
#include "kp28setup/files.h"

namespace kp28setup {

namespace {

constexpr const char* kSetupSpeed = "19200,n,8,1";
constexpr const char* kNormalSpeed = "9600,n,8,1";
constexpr const char* kNvmNotRead = "NVM not red";
constexpr const char* kSetupNotSaved = "SETUP not saved";
constexpr const char* kRestoreNotDone = "RestoreMFG not executed";
constexpr const char* kNotInSetupMode = "PRINTER IS NOT IN SETUP MODE";
constexpr const char* kHoldOnLine = "HOLD THE ON_LINE BUTTON and TURN ON THE PRINTER";

// A model reply is 11 characters; a line or a burst of input is never longer
// than these, so a line that keeps talking ends as an error rather than
// filling memory.
constexpr std::size_t kModelReplyReads = 11;
constexpr std::size_t kMaxLine = 64 * 1024;
constexpr std::size_t kMaxBurst = 1024 * 1024;
// How long the line must stay silent before a cut exchange counts as over.
constexpr std::chrono::milliseconds kQuiet{300};
// The identity replies are shown from their sixth character, at most this many.
constexpr std::size_t kShownReply = 100;

// A length that the image cannot hold, or that is no length at all.
struct TransferError {};

std::string trim_blanks(std::string s) {
    const auto a = s.find_first_not_of(' ');
    if (a == std::string::npos) return {};
    const auto b = s.find_last_not_of(' ');
    return s.substr(a, b - a + 1);
}

std::string mid(const std::string& s, std::size_t from, std::size_t n) {
    return from < s.size() ? s.substr(from, n) : std::string();
}

bool starts_with(const std::string& s, const char* p) {
    return s.rfind(p, 0) == 0;
}

}  // namespace

Session::Session(SessionDeps deps) : d_(std::move(deps)) {
    if (!d_.pause) d_.pause = [](std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); };
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
    drain_and_close();
    ended_ = true;
    notify(Change::ProgramEnded);
}

void Session::drain_and_close() {
    if (!d_.port.is_open()) return;
    if (unsettled_output_) {
        d_.port.drain(d_.limits.drain);
        d_.pause(kSettle);
        unsettled_output_ = false;
    }
    d_.port.close();
}

void Session::open_com_port() {
    const int remembered = d_.port.port_number();
    const std::string entry = list_.selected_counterpart();
    if (entry.empty()) return;
    const auto number = com_number(entry);
    bool trap = true;
    // Each step runs under the trap; the table below decides whether the
    // next step still runs.
    auto on_error = [&](const CommError& e) -> bool {
        if (!trap) throw e;
        switch (e.code()) {
            case kErrInvalidPortNumber:
                message(" ", "Invalid Port", Icon::Critical);
                trap = false;
                if (remembered > 0 && !d_.port.is_open()) {
                    d_.port.set_port_number(remembered);
                    d_.port.open();
                }
                return true;
            case kErrPortAlreadyOpen:
                message(" ", "Porta già aperta", Icon::Critical);
                return true;
            case kErrPortNotOpen:
                message(" ", "Invalid Port", Icon::Critical);
                trap = false;
                if (remembered > 0 && !d_.port.is_open()) {
                    d_.port.set_port_number(remembered);
                    d_.port.open();
                }
                return false;
            default:
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
        [&] { drain_and_close(); },
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

// --- serial primitives ---

void Session::write_bytes(const std::vector<std::uint8_t>& bytes) {
    unsettled_output_ = true;
    d_.port.write(bytes, d_.limits.write);
}

void Session::write_text(const std::string& s) {
    write_bytes(std::vector<std::uint8_t>(s.begin(), s.end()));
}

void Session::reconfigure(const char* settings) {
    drain_and_close();
    d_.port.set_settings(settings);
    d_.port.open();
}

void Session::send_com(const std::string& str_to_print) {
    constexpr std::size_t kPiece = 512;
    for (std::size_t at = 0; at < str_to_print.size(); at += kPiece) {
        write_text(str_to_print.substr(at, kPiece));
        if (d_.observer) d_.observer->process_events();
    }
}

std::uint8_t Session::read_com_byte() {
    return read_com_byte(d_.limits.byte);
}

std::uint8_t Session::read_com_byte(std::chrono::milliseconds limit) {
    const auto b = d_.port.read_byte(limit);
    if (!b)
        throw CommError(kErrTimeout,
                        "no byte from the printer within " + std::to_string(limit.count()) + " ms");
    return *b;
}

std::string Session::read_com_line() {
    std::string line;
    while (line.empty() || line.back() != '\n') {
        if (line.size() >= kMaxLine) throw CommError(kErrIo, "line too long");
        line += static_cast<char>(read_com_byte());
    }
    return line;
}

std::string Session::read_com_line(std::size_t max_length,
                                   std::chrono::steady_clock::time_point deadline) {
    using std::chrono::milliseconds;
    std::string line;
    while (line.empty() || line.back() != '\n') {
        if (line.size() >= max_length)
            throw CommError(kErrIo, "a line longer than " + std::to_string(max_length) + " bytes");
        const auto left =
            std::chrono::ceil<milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left < d_.limits.byte) {
            const auto b = d_.port.read_byte(std::max(left, milliseconds::zero()));
            if (!b) throw CommError(kErrPastDeadline, "past the exchange's time limit");
            line += static_cast<char>(*b);
            continue;
        }
        const auto b = read_com_byte();
        line += static_cast<char>(b);
    }
    return line;
}

std::string Session::read_com_all() {
    std::string all;
    while (all.size() < kMaxBurst) {
        const auto b = d_.port.read_now();
        if (!b) break;
        all += static_cast<char>(*b);
    }
    return all;
}

void Session::show_comm_error() {
    message(" ", "COMM error(" + last_comm_error + "): " + failed_operation, Icon::Critical);
    try {
        for (std::size_t n = 0; n < kMaxBurst; ++n) {
            const auto b = d_.port.read_now();
            if (d_.observer) d_.observer->process_events();
            if (!b) break;
        }
    } catch (const CommError&) {
        // A port that hung up has nothing left to drop; the report is made.
    }
}

void Session::discard_input() {
    for (std::size_t n = 0; n < kMaxBurst; ++n)
        if (!d_.port.read_now()) break;
}

void Session::wait_for_quiet(std::chrono::milliseconds quiet, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    try {
        while (std::chrono::steady_clock::now() < until)
            if (!d_.port.read_byte(quiet)) return;
    } catch (const CommError&) {
        // Gone or stopped: quiet enough.
    }
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
    write_text("n");
    d_.pause(std::chrono::milliseconds(500));
    std::string reply;
    for (std::size_t i = 0; i < kModelReplyReads; ++i)
        if (const auto b = d_.port.read_now()) reply += static_cast<char>(*b);
    const bool plus =
        trim_blanks(reply.substr(0, 8)) == "KP28plus" || trim_blanks(reply.substr(0, 5)) == "KP28+";
    plus_model = plus ? 1 : 0;
    show_model(plus);
    if (d_.observer) d_.observer->process_events();
}

bool Session::identify_printer() {
    reconfigure(kNormalSpeed);
    write_bytes(kp28::frames::product_name_query());
    d_.pause(std::chrono::milliseconds(300));
    const std::string reply = read_com_all();
    set_text1("Printer: " + mid(reply, 5, kShownReply));
    d_.pause(std::chrono::milliseconds(550));
    if (reply.empty()) return false;
    if (reply.find("KP28+") != std::string::npos || reply.find("KP28plus") != std::string::npos) {
        show_model(true);
        set_command(Command::ExitSetup, true);
    }
    write_bytes(kp28::frames::firmware_version_query());
    d_.pause(std::chrono::milliseconds(300));
    const std::string reply2 = read_com_all();
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
    if (d_.observer) d_.observer->process_events();
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
        if (last_comm_error.empty() && d_.editor) d_.editor->build_editor();
        if (last_comm_error.empty()) set_command(Command::WriteNvm, true);
        const std::string fw(nvm_image.begin(), nvm_image.begin() + 8);
        const std::string rel(nvm_image.begin() + 8, nvm_image.begin() + 24);
        set_text1("FW: " + fw + " - " + rel);
        set_pointer(PointerTarget::Window, Pointer::Default);
        set_pointer(PointerTarget::ReadNvm, Pointer::Default);
    } else {
        set_pointer(PointerTarget::ReadNvm, Pointer::Default);
        set_pointer(PointerTarget::Window, Pointer::Default);
        message("WARNING", kNotInSetupMode, Icon::Exclamation);
    }
}

void Session::read_nvm() {
    failed_operation = kNvmNotRead;
    last_comm_error.clear();
    try {
        discard_input();
        if (kp28_checked_)
            plus_model = 0;
        else
            detect_printer_model();
        if (plus_model == 1) {
            apply(situation::kPlusInSetupMode);
        } else {
            if (identify_printer()) return;
            reconfigure(kSetupSpeed);
            apply(situation::kKp28InSetupMode);
        }
        write_text("r");
        receive_nvm();
    } catch (const CommError& e) {
        note_failure(e);
        show_comm_error();
        apply(situation::kReadFailed);
        return;
    } catch (const TransferError&) {
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

void Session::receive_nvm() {
    const unsigned b1 = read_com_byte();
    const unsigned b2 = read_com_byte();
    // The high byte decides: a length of 0x8000 or more is no length.
    unsigned n = plus_model == 1 ? b2 * 256 + b1 : b1 * 256 + b2;
    if (n >> 8 >= 0x80) throw TransferError{};
    // Short images come with their length bytes the other way round, and
    // then in the older model's order.
    if (n < 100) {
        n = plus_model == 1 ? b1 * 256 + b2 : b2 * 256 + b1;
        if (n >> 8 >= 0x80) throw TransferError{};
        plus_model = 0;
    }
    // A length of 0 is no image: a write of it would send "w" and a
    // checksum, and leave the printer waiting for its NVM.
    if (n == 0) throw TransferError{};
    nvm_length = static_cast<std::int16_t>(n);
    for (unsigned i = 0; i < n; ++i) {
        const std::uint8_t b = read_com_byte();
        if (i >= kNvmSize) throw TransferError{};
        nvm_image[i] = b;
    }
    for (auto& c : crc_trailer) c = read_com_byte();
}

// --- NVM write ---

void Session::cmd_Save_Click() {
    set_pointer(PointerTarget::Window, Pointer::Hourglass);
    set_pointer(PointerTarget::WriteNvm, Pointer::Hourglass);
    if (d_.observer) d_.observer->process_events();
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
    try {
        discard_input();
        if (stopping()) throw CommError(kErrStopped, "stopped before the write began");
        // From "w" to the echo the printer collects an image: nothing from
        // outside cuts that short.
        StopSource::Transfer transfer(d_.stop);
        write_text("w");
        for (std::size_t i = 0; i < n; ++i) write_bytes({nvm_image[i]});
        crc_computed = kp28::nvm_crc(nvm_image, n, plus_model == 1);
        crc_trailer = crc_computed;
        for (const auto c : crc_trailer) write_bytes({c});
        // The printer stores its NVM before it answers.
        echo[0] = read_com_byte(d_.limits.echo);
        for (std::size_t j = 1; j < 4; ++j) echo[j] = read_com_byte();
    } catch (const CommError& e) {
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
    // Asked to stop during the transfer: the printer has its image, and the
    // stop takes effect before anything else is asked.
    if (stop_requested()) return;
    save_setup_file();
}

void Session::save_setup_file() {
    FileDialog dlg;
    dlg.file_name = "wnvm";
    dlg.default_ext = "dmp";
    dlg.filter = "dmp";
    std::error_code ec;
    dlg.initial_dir = std::filesystem::current_path(ec).string();
    dlg.flags = 0x8000;
    const auto path = d_.op.save_file(dlg);
    if (!path) return;
    write_setup_file(*path, true);
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
    restore_sent_ = false;
    try {
        open_com_port();
        discard_input();
        detect_printer_model();
        if (plus_model == 1) {
            apply(situation::kPlusInSetupMode);
        } else {
            if (identify_printer()) {
                set_pointer(PointerTarget::RestoreMfg, Pointer::Default);
                message("WARNING", kNotInSetupMode, Icon::Exclamation);
                return;
            }
            reconfigure(kSetupSpeed);
            apply(situation::kKp28InSetupMode);
        }
        write_text("R");
        restore_sent_ = true;
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
        discard_input();
        detect_printer_model();
        asked = true;
    } catch (const CommError&) {
        // A port that takes no "n" has no KP28Plus behind it.
    }
    if (asked && plus_model == 1) {
        try {
            write_text("g");
        } catch (const CommError&) {
            // The program ends as it would have; there is nobody left to tell.
        }
        end_program();
        return;
    }
    message("WARNING", "COMMAND NOT AVAIABLE ON THIS PRINTER", Icon::Exclamation);
}

}  // namespace kp28setup
