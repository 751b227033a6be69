// "Send  Setup" and its senders: a setup file goes to a printer in normal
// mode unchanged, over the link of the chosen entry, and nothing is read back.
#include <filesystem>

#include "../maintenance/link_state.h"
#include "kp28setup/session.h"

namespace kp28setup {

namespace {

constexpr const char* kNormalSpeed = "9600,n,8,1";
constexpr const char* kSetupSpeed = "19200,n,8,1";
constexpr const char* kIpPrompt = "INSERT IP ADDRESS (XXX.XXX.XXX.XXX): ";
constexpr const char* kIpTitle = "SEND SETUP TO PRINTER VIA ETHERNET INTERFACE";
constexpr const char* kIpDefault = "192.186.0.255";
constexpr auto kUsbPause = std::chrono::milliseconds(100);
constexpr auto kSettle = std::chrono::milliseconds(200);

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

void Session::process_events() {
    if (d_.observer) d_.observer->process_events();
}

void Session::send_failed(const std::string& what) {
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
    if (kind == "LPT") {
        const char digit = Interface.size() > 3 ? Interface[3] : '\0';
        if (digit >= '1' && digit <= '4') send_file_lpt(chosen_file, digit);
    } else if (kind == "USB") {
        send_file_usb(chosen_file);
    } else if (kind == "LAN") {
        ask_ip_address();
        if (ip_string.empty()) {
            set_pointer(PointerTarget::Screen, Pointer::Default);
            return;
        }
        send_file_lan(chosen_file);
        if (send_complete_) message("ATTENTION", "SETUP EXECUTED", Icon::None);
    } else if (kind == "COM") {
        send_file_com(chosen_file);
    }
    set_pointer(PointerTarget::Screen, Pointer::Default);
}

void Session::send_file_lpt(const std::string& path, char digit) {
    std::string why;
    const auto file = read_whole_file(path, &why);
    if (!file) return send_failed(path + ": " + why);
    const auto node = parallel_node(digit);
    if (!node) return send_failed(std::string("there is no parallel port LPT") + digit);
    const SendResult r = write_to_node(*node, *file, d_.limits.link_write);
    if (!r.ok) return send_failed(*node + ": " + r.reason);
    send_complete_ = true;
}

void Session::send_file_com(const std::string& path) {
    try {
        open_com_port();
    } catch (const CommError&) {
        // Reported by open_com_port; the send below meets the closed port.
    }
    // Where the driver cannot tell the line states (a pseudo-terminal), the
    // printer is not called unready.
    const auto dsr = d_.port.dsr();
    const auto cts = d_.port.cts();
    if (dsr && cts && !*dsr && !*cts)
        message("ATTENTION !!!", Interface + " NOT READY", Icon::Critical);
    std::string why;
    const auto file = read_whole_file(path, &why);
    try {
        reconfigure(kNormalSpeed);
        if (!file) {
            send_failed(path + ": " + why);
        } else {
            for (const auto piece : pieces(*file))
                send_com(std::string(piece.begin(), piece.end()));
            // The file has left only when the line has sent it. An adapter
            // may still hold the last bytes in its own buffer once the
            // driver's queue is empty; the speed changes after they are out.
            if (d_.port.drain(d_.limits.drain)) {
                d_.pause(kSettle);
                send_complete_ = true;
            } else
                send_failed("the line did not send the file within " +
                            std::to_string(d_.limits.drain.count()) + " ms");
        }
    } catch (const CommError& e) {
        send_failed(e.what());
    }
    try {
        reconfigure(kSetupSpeed);
    } catch (const CommError&) {
        // Already reported as the send's failure, or the port vanished after
        // the file had left; the next command opens it again.
    }
}

void Session::send_file_usb(const std::string& path) {
    auto& st = links();
    if (!st.usb) st.usb = make_dlopen_usb_library();
    UsbLibrary& usb = *st.usb;
    std::uint32_t door = 0xBAD0BAD0u;
    const std::int32_t connected = usb.connect(0, &door);
    if (connected != 0) show_usb_error(connected);
    std::string why;
    const auto file = read_whole_file(path, &why);
    std::int32_t failed = 0;
    if (!file) {
        send_failed(path + ": " + why);
    } else {
        for (const auto piece : pieces(*file)) {
            const std::int32_t r = usb.write(door, piece, -1);
            // A piece that failed spoils the setup frame even when the pieces
            // after it go through.
            if (r != 0 && failed == 0) failed = r;
            d_.pause(kUsbPause);
        }
        d_.pause(kUsbPause);
        if (failed != 0) show_usb_error(failed);
    }
    const std::int32_t closed = usb.disconnect(door);
    if (closed != 0) show_usb_error(closed);
    send_complete_ = connected == 0 && file && failed == 0 && closed == 0;
}

void Session::show_usb_error(int result) {
    (void)result;  // the library's last error says more than the call's result
    process_events();
    std::string text;
    const std::int32_t code = links().usb ? links().usb->geterrno(&text) : result;
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
    message("IP : " + ip_string, "Connection Problem verify IP", Icon::Critical);
    return 0;
}

void Session::send_file_lan(const std::string& path) {
    send_complete_ = false;
    if (connect_lan() == 0) return;
    std::string why;
    const auto file = read_whole_file(path, &why);
    if (!file) return send_failed(path + ": " + why);
    auto& lan = links().lan;
    for (const auto piece : pieces(*file)) {
        const SendResult r = lan.send_all(piece, d_.limits.link_write);
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
