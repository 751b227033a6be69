#include "printer_access.h"

namespace kp28setup_cli {

using kp28setup::Command;

Setup PrinterAccess::current(const std::string& source) const {
    Setup s;
    s.source = source;
    s.image = s_.nvm_image;
    s.length = s_.nvm_length;
    s.plus = s_.plus_model == 1;
    return s;
}

std::optional<Setup> PrinterAccess::read(const std::string& modules, std::string& why) {
    const auto done = s_.run(Command::ReadNvm);
    if (!s_.commands().enabled(Command::WriteNvm)) {
        why = "the printer's NVM could not be read: " + done.reason;
        return std::nullopt;
    }
    if (modules.empty() && !ed_.complete()) {
        why = "the printer's parameter description did not arrive whole";
        return std::nullopt;
    }
    Setup s = current(kPrinterSource);
    auto text = load_description(modules, "modules.txt", s.description_from, why);
    if (!text) return std::nullopt;
    s.description = std::move(*text);
    // A description given by the user is the one the rows follow.
    if (!modules.empty()) ed_.build_from_description(s.description);
    return s;
}

PrinterAccess::WriteOutcome PrinterAccess::write() {
    const auto done = s_.run(Command::WriteNvm);
    WriteOutcome w;
    w.confirmed = s_.printer_took_image();
    if (!w.confirmed)
        w.problem = "the printer did not confirm the write: " + done.reason;
    else if (!done.done)
        w.problem = done.reason;
    return w;
}

bool PrinterAccess::save(const std::string& path) {
    return s_.write_setup_file(path, false);
}

std::optional<Setup> PrinterAccess::read_back(std::string& why) {
    try {
        s_.open_com_port();
    } catch (const kp28setup::CommError&) {
        // Reported by open_com_port; the read meets the closed port.
    }
    if (s_.stopping()) {
        why = "stopped before the check read";
        return std::nullopt;
    }
    s_.read_nvm();
    if (!s_.commands().enabled(Command::WriteNvm) || !s_.last_comm_error.empty()) {
        why = "the NVM could not be read back" +
              (s_.last_comm_error.empty() ? std::string()
                                          : " (COMM error(" + s_.last_comm_error + "))");
        return std::nullopt;
    }
    return current(kPrinterSource);
}

}  // namespace kp28setup_cli
