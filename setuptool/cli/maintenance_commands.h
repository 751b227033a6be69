// kp28setup's "send", "load-fw", "reboot" and "usb-id": the window's "Send
// Setup", "Load FW", "Reboot" and "USB ID" with the dialogs answered from the
// command line.
#pragma once

#include <kp28setup/operator.h>
#include <kp28setup/session.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "terminal_operator.h"

namespace kp28setup_cli {

struct MaintenanceOptions {
    std::string file;  // send, load-fw: what the open dialog receives
    std::string ip;    // the IP address box's answer; empty: the box is cancelled
    std::string usb_id;
};

// The options of the four subcommands, filled by the parse.
MaintenanceOptions& maintenance_options();
// Adds the four subcommands; the caller adds its common options to each.
std::vector<CLI::App*> add_maintenance_commands(CLI::App& app);
bool is_maintenance_command(const std::string& name);

struct MaintenanceOutcome {
    bool ok = false;
    std::string reason;             // why not ok
    nlohmann::json extra;           // fields of the JSON report beyond the common ones
    std::vector<std::string> text;  // lines of the plain report
};

// What the command's options answer to its dialogs.
DialogAnswers maintenance_answers(const std::string& name, const MaintenanceOptions& mo);

// Runs the command on the session (its dialogs answered by the operator the
// session was given) and says how it went.
MaintenanceOutcome run_maintenance(const std::string& name, kp28setup::Session& s);

}  // namespace kp28setup_cli
