#include "terminal_operator.h"

#include <iostream>

namespace kp28setup_cli {

bool TerminalOperator::show(const kp28setup::Message& m) {
    ScriptedOperator::show(m);  // recorded for the report
    if (!quiet_) std::cerr << m.title << ": " << m.text << "\n";
    if (!m.ok_cancel) return true;
    if (yes_) return true;
    std::cerr << "[OK/Cancel] " << std::flush;
    std::string line;
    if (!std::getline(std::cin, line)) return false;
    for (auto& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return line.empty() || line == "ok" || line == "o" || line == "y" || line == "yes";
}

std::optional<std::string> TerminalOperator::save_file(const kp28setup::FileDialog& d) {
    ScriptedOperator::save_file(d);
    return save_path_;
}

}  // namespace kp28setup_cli
