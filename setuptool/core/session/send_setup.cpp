// "Send  Setup" and its senders: a setup file goes to a printer in normal
// mode unchanged, over the link of the chosen entry, and nothing is read back.
#include <algorithm>
#include <filesystem>

#include "kp28setup/session.h"
#include "link_state.h"

namespace kp28setup {

namespace {

constexpr const char* kIpPrompt = "INSERT IP ADDRESS (XXX.XXX.XXX.XXX): ";
constexpr const char* kIpTitle = "SEND SETUP TO PRINTER VIA ETHERNET INTERFACE";
constexpr const char* kIpDefault = "192.186.0.255";
constexpr auto kUsbPause = std::chrono::milliseconds(100);

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds left_until(Clock::time_point deadline) {
    return std::max(std::chrono::milliseconds::zero(),
                    std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()));
}

}  // namespace

void Session::ask_ip_address() {
    ip_string = d_.op.input(kIpTitle, kIpPrompt, kIpDefault).value_or("");
}

void LinkStateDeleter::operator()(LinkState* s) const {
    delete s;
}

Session::~Session() = default;

LinkState& Session::links() {
    if (!links_) links_.reset(new LinkState);
    return *links_;
}

void Session::use_usb_library(std::shared_ptr<UsbLibrary> usb) {
    links().usb = std::move(usb);
}

void Session::send_failed(const std::string& what) {
    fail("The setup file was not sent to " + Interface + ": " + what);
    message("SEND SETUP", "The setup file was not sent to " + Interface + ": " + what,
            Icon::Critical);
}

std::optional<std::string> Session::parallel_node(char digit) {
    const std::string name = std::string("LPT") + digit;
    for (std::size_t i = 0; i < list_.list1.size() && i < list_.nodes.size(); ++i)
        if (list_.list1[i] == name) return list_.nodes[i];
    // A port that came after the last refresh.
    if (d_.scan_ports)
        for (const auto& p : d_.scan_ports())
            if (p.kind == PortInfo::Kind::Parallel && p.name.size() >= 4 &&
                p.name.substr(p.name.size() - 4) == name)
                return p.node;
    return std::nullopt;
}

void Session::cmd_Send_Setup_Click() {
    send_complete_ = false;
    FileDialog dlg;
    dlg.title = "SELECT SETUP FILE";
    dlg.filter = "File *.dmp (*.dmp)|*.dmp";
    const auto path = d_.op.open_file(dlg);
    if (!path) return;
    chosen_file = *path;
    if (chosen_file.empty()) return;
    set_pointer(PointerTarget::Screen, Pointer::Hourglass);
    Interface = list_.selected_text();
    const std::string kind = Interface.substr(0, 3);
    // Checked before any link is opened: a file that is no setup file would
    // leave the printer waiting for the rest of a frame.
    const auto file = setup_file(chosen_file);
    if (!file || stopping()) {
        set_pointer(PointerTarget::Screen, Pointer::Default);
        return;
    }
    if (kind == "LPT") {
        const char digit = Interface.size() > 3 ? Interface[3] : '\0';
        if (digit >= '1' && digit <= '4') send_file_lpt(*file, digit);
    } else if (kind == "USB") {
        send_file_usb(*file);
    } else if (kind == "LAN") {
        ask_ip_address();
        if (ip_string.empty()) {
            set_pointer(PointerTarget::Screen, Pointer::Default);
            return;
        }
        send_file_lan(*file);
        if (send_complete_) message("ATTENTION", "SETUP EXECUTED", Icon::None);
    } else if (kind == "COM") {
        send_file_com(*file);
    }
    if (send_complete_) succeed();
    set_pointer(PointerTarget::Screen, Pointer::Default);
}

std::optional<std::vector<std::uint8_t>> Session::setup_file(const std::string& path) {
    std::string why;
    auto file = read_setup_file(path, &why);
    if (!file) send_failed(path + ": " + why);
    return file;
}

void Session::send_file_lpt(std::span<const std::uint8_t> file, char digit) {
    const auto node = parallel_node(digit);
    if (!node) return send_failed(std::string("there is no parallel port LPT") + digit);
    StopSource::Transfer transfer(d_.stop);
    const SendResult r = write_to_node(*node, file, d_.limits.link_write);
    if (!r.ok) return send_failed(*node + ": " + r.reason);
    send_complete_ = true;
}

void Session::send_file_com(std::span<const std::uint8_t> file) {
    try {
        open_com_port();
    } catch (const CommError&) {
        // Reported by open_com_port; the send below meets the closed port.
    }
    // Where the driver cannot tell the line states (a pseudo-terminal), the
    // printer is not called unready.
    const auto dsr = line_.port().dsr();
    const auto cts = line_.port().cts();
    if (dsr && cts && !*dsr && !*cts)
        message("ATTENTION !!!", Interface + " NOT READY", Icon::Critical);
    try {
        line_.reconfigure(kNormalSpeed);
        if (stopping()) throw CommError(kErrStopped, "stopped before the file began");
        StopSource::Transfer transfer(d_.stop);
        for (const auto piece : pieces(file))
            line_.send_com(std::string(piece.begin(), piece.end()));
        // The file has left only when the line has sent it. An adapter may
        // still hold the last bytes in its own buffer once the driver's
        // queue is empty; the speed changes after they are out.
        if (line_.drain_and_settle(d_.limits.drain)) {
            send_complete_ = true;
        } else {
            send_failed("the line did not send the file within " +
                        std::to_string(d_.limits.drain.count()) + " ms");
        }
    } catch (const CommError& e) {
        send_failed(e.what());
    }
    try {
        line_.reconfigure(kSetupSpeed);
    } catch (const CommError&) {
        // Already reported as the send's failure, or the port vanished after
        // the file had left; the next command opens it again.
    }
}

void Session::send_file_usb(std::span<const std::uint8_t> file) {
    auto& st = links();
    if (!st.usb) st.usb = make_dlopen_usb_library();
    UsbLibrary& usb = *st.usb;
    std::uint32_t door = 0xBAD0BAD0u;
    const std::int32_t connected = usb.connect(0, &door);
    if (connected != 0) show_usb_error(connected);
    std::int32_t failed = 0;
    {
        StopSource::Transfer transfer(d_.stop);
        // One limit for the whole file: a printer that stops taking bytes
        // must not hold the transfer (and a stop waiting for it) for ever.
        const auto deadline = Clock::now() + d_.limits.link_write;
        for (const auto piece : pieces(file)) {
            const auto left =
                static_cast<std::int32_t>(std::max<std::int64_t>(1, left_until(deadline).count()));
            const std::int32_t r = usb.write(door, piece, left);
            // A piece that failed spoils the setup frame even when the pieces
            // after it go through.
            if (r != 0 && failed == 0) failed = r;
            d_.pause(kUsbPause);
        }
        d_.pause(kUsbPause);
    }
    if (failed != 0) show_usb_error(failed);
    const std::int32_t closed = usb.disconnect(door);
    if (closed != 0) show_usb_error(closed);
    send_complete_ = connected == 0 && failed == 0 && closed == 0;
}

void Session::show_usb_error(int result) {
    (void)result;  // the library's last error says more than the call's result
    process_events();
    std::string text;
    const std::int32_t code = links().usb ? links().usb->geterrno(&text) : result;
    fail("Error code :" + std::to_string(code) + " " + text);
    message("Warning Message", "Error code :" + std::to_string(code) + " " + text,
            Icon::Information);
}

int Session::connect_lan() {
    auto& lan = links().lan;
    lan.close();
    const auto to = parse_host_port(ip_string, kPrinterTcpPort);
    bool ok = false;
    if (to) ok = lan.connect(*to, d_.limits.lan_connect, [this] { process_events(); }).ok;
    if (ok) return 1;
    fail("Connection Problem verify IP: " + ip_string);
    message("IP : " + ip_string, "Connection Problem verify IP", Icon::Critical);
    return 0;
}

void Session::send_file_lan(std::span<const std::uint8_t> file) {
    send_complete_ = false;
    if (connect_lan() == 0) return;
    auto& lan = links().lan;
    if (stopping()) return;
    StopSource::Transfer transfer(d_.stop);
    // The write limit holds for the whole file, not for each piece.
    const auto deadline = Clock::now() + d_.limits.link_write;
    for (const auto piece : pieces(file)) {
        const SendResult r = lan.send_all(piece, left_until(deadline));
        process_events();
        if (!r.ok) {
            lan.close();
            return send_failed(ip_string + ": " + r.reason);
        }
    }
    // The connection stays open until the next connect_lan or the end of
    // the program.
    send_complete_ = true;
}

}  // namespace kp28setup
