#include "terminal_operator.h"

#include <iostream>

namespace kp28setup_cli {

bool TerminalOperator::show(const kp28setup::Message& m) {
    messages_.push_back(m);
    if (!quiet_) std::cerr << m.title << ": " << m.text << "\n";
    if (!m.ok_cancel) return true;
    if (answers_.yes) return true;
    std::cerr << "[OK/Cancel] " << std::flush;
    std::string line;
    if (!std::getline(std::cin, line)) return false;
    for (auto& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return line.empty() || line == "ok" || line == "o" || line == "y" || line == "yes";
}

std::optional<std::string> TerminalOperator::input(const std::string&, const std::string&,
                                                   const std::string&) {
    return answers_.input;
}

std::optional<std::string> TerminalOperator::open_file(const kp28setup::FileDialog&) {
    return answers_.file;
}

std::optional<std::string> TerminalOperator::save_file(const kp28setup::FileDialog&) {
    return answers_.save;
}

}  // namespace kp28setup_cli
