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

MaintenanceOutcome run_maintenance(const std::string& name, const MaintenanceOptions& mo,
                                   kp28setup::Session& s, kp28setup::ScriptedOperator& op) {
    MaintenanceOutcome out;
    const std::optional<std::string> ip = mo.ip.empty() ? std::nullopt : std::optional(mo.ip);
    if (name == "send" || name == "load-fw") {
        op.open_answers = {mo.file};
        op.input_answers = {ip};
    }
    if (name == "usb-id") op.input_answers = {mo.usb_id};

    if (name == "send") {
        s.cmd_Send_Setup_Click();
        out.ok = s.last_send_complete();
        out.extra["sent"] = out.ok;
        out.extra["interface"] = s.Interface;
        out.text.push_back(std::string("sent: ") + (out.ok ? "yes" : "no"));
        return out;
    }
    if (name == "load-fw")
        s.cmdLoadFW_Click();
    else if (name == "reboot")
        s.cmdReboot_Click();
    else
        s.cmdUSB_ID_Click();

    const auto exit = s.last_updater_exit();
    out.ok = s.last_maintenance_done() && (!exit || *exit == 0);
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
