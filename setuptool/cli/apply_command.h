// kp28setup apply: a profile made true on a printer. One read; when nothing
// is to change, nothing more is sent; else the edits through the window's
// change handlers, one write with its echo check and one read of the NVM to
// see that the printer kept what it was sent.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "printer_access.h"

namespace kp28setup_cli {

struct ApplyRequest {
    std::string profile;  // the profile file
    bool check = false;   // report what would change, send nothing after the read
    std::string modules;  // --modules FILE, empty: the printer's description
    std::string save;     // --save FILE: the setup file of what the printer ends with
};

struct ApplyOutcome {
    bool ok = false;
    int exit_code = 1;  // 0 the printer ends as the profile asks, 1 not, 2 refused
    // changed, check, changes, verified, refused: added to the report.
    nlohmann::json extra;
    std::string error;              // why it broke off, when it did
    std::vector<std::string> text;  // the lines of the text report
};

// The keys apply adds to the report, as they stand before anything is done.
nlohmann::json apply_report_start(bool check);

// The profile is read and checked before the printer is. Refusals (a label
// missing or ambiguous, a value its row cannot take) stop the run before
// anything more is sent.
ApplyOutcome run_apply(const ApplyRequest& r, PrinterAccess& printer);

}  // namespace kp28setup_cli
