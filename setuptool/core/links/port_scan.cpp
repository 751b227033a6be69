#include <kp28/ports/ports.h>

#include "kp28setup/interface_list.h"

namespace kp28setup {

std::vector<PortInfo> scan_ports(const std::string& root) {
    std::vector<PortInfo> out;
    for (const auto& s : kp28::ports::scan_serial_ports(root))
        out.push_back({PortInfo::Kind::Serial, kp28::ports::com_name(s.com), s.node, s.cdc_acm});
    for (const auto& p : kp28::ports::scan_parallel_ports(root))
        out.push_back({PortInfo::Kind::Parallel, kp28::ports::lpt_name(p.lpt), p.node, false});
    return out;
}

std::optional<std::string> node_for_com(const std::string& root, int com) {
    return kp28::ports::node_for_com(root, com);
}

}  // namespace kp28setup
