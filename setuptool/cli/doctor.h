// kp28setup doctor: whether this user can use every interface the refresh
// finds and the USB library's printers, whether the programs the setup tool
// needs are found, and for each thing that is not usable, why and the fix.
#pragma once

#include <CLI/CLI.hpp>

namespace kp28setup_cli {

struct DoctorOptions {
    bool json = false;
};

// Registers the subcommand on app.
CLI::App* add_doctor(CLI::App& app, DoctorOptions& o);
// Exit status 0 when everything needed is usable, 1 otherwise.
int run_doctor(const DoctorOptions& o);

}  // namespace kp28setup_cli
