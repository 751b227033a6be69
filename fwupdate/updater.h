// One run of the updater: settings, printer connection, retrieval layer and
// the requested operations, in that order. Returns the exit code.
#pragma once

#include <string>
#include <vector>

#include "settings.h"

namespace fwupdate {

// Texts of the closing result line when a printer operation failed while the
// retrieval layer itself recorded no failure (its code still reads
// "No Error", which would report the failure as a success).
inline constexpr const char kRebootFailureText[] = "Reboot Failure";
inline constexpr const char kUpdateFailureText[] = "Update Failure";
inline constexpr const char kUsbIdFailureText[] = "USB ID Failure";

// args excludes the program name.
int run_updater(const std::vector<std::string>& args);

// Steps 2 to 4 alone: defaults, the INI file of dir (none when dir is empty),
// then the command line. Returns help when "-HELP" was given.
CommandLineResult load_settings(const std::string& dir, const std::vector<std::string>& args,
                                UpdaterSettings& settings);

}  // namespace fwupdate
