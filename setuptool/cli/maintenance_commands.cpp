#include "maintenance_commands.h"

#include "multi_send.h"

namespace kp28setup_cli {

using nlohmann::json;

MaintenanceOptions& maintenance_options() {
    static MaintenanceOptions options;
    return options;
}

std::vector<CLI::App*> add_maintenance_commands(CLI::App& app) {
    MaintenanceOptions& mo = maintenance_options();
    auto* send =
        app.add_subcommand("send", "Send  Setup: a setup file to a printer in normal mode");
    send->add_option("FILE", mo.file, "The setup file (.dmp) the open dialog receives")->required();
    add_send_target_options(*send, mo.ip);

    auto* load = app.add_subcommand("load-fw", "Load FW: a firmware image to the printer");
    load->add_option("FILE", mo.file, "The firmware image (.img) the open dialog receives")
        ->required();
    load->add_option("--ip", mo.ip,
                     "ADDR[:PORT]: the FTP server's address for LAN with the KP28 model (port 21 "
                     "unless given; without --ip the box counts as cancelled)");

    auto* reboot = app.add_subcommand("reboot", "Reboot: the updater restarts the USB printer");
    auto* uid = app.add_subcommand("usb-id", "USB ID: the updater records a USB identifier");
    uid->add_option("ID", mo.usb_id, "The identifier (at most 32 characters)")->required();
    return {send, load, reboot, uid};
}

bool is_maintenance_command(const std::string& name) {
    return name == "send" || name == "load-fw" || name == "reboot" || name == "usb-id";
}

DialogAnswers maintenance_answers(const std::string& name, const MaintenanceOptions& mo) {
    DialogAnswers a;
    if (name == "send" || name == "load-fw") {
        a.file = mo.file;
        if (!mo.ip.empty()) a.input = mo.ip;
    }
    if (name == "usb-id") a.input = mo.usb_id;
    return a;
}

MaintenanceOutcome run_maintenance(const std::string& name, kp28setup::Session& s) {
    using kp28setup::Command;
    MaintenanceOutcome out;
    if (name == "send") {
        const auto done = s.run(Command::SendSetup);
        out.ok = done.done;
        out.reason = done.reason;
        out.extra["sent"] = out.ok;
        out.extra["interface"] = s.Interface;
        out.text.push_back(std::string("sent: ") + (out.ok ? "yes" : "no"));
        return out;
    }
    const auto done = s.run(name == "load-fw"  ? Command::LoadFw
                            : name == "reboot" ? Command::Reboot
                                               : Command::UsbId);
    out.ok = done.done;
    out.reason = done.reason;
    const auto exit = done.updater_exit;
    out.extra["interface"] = s.Interface;
    out.extra["updater_exit"] = exit ? json(*exit) : json(nullptr);
    const auto& r = s.report_window();
    if (r.shown) {
        out.extra["report"] = {{"caption", r.caption}, {"lines", r.lines}};
        out.text.push_back("report: " + r.caption);
        for (const auto& l : r.lines) out.text.push_back("  " + l);
    } else {
        out.extra["report"] = nullptr;
    }
    if (!s.printed().empty()) out.extra["printed"] = s.printed();
    if (exit) out.text.push_back("updater exit: " + std::to_string(*exit));
    // The operator has read the report: OK.
    if (r.shown) s.OKButton_Click();
    return out;
}

}  // namespace kp28setup_cli
