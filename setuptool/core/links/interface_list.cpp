#include "kp28setup/interface_list.h"

#include <charconv>

namespace kp28setup {

std::string InterfaceList::selected_text() const {
    if (selected < 0 || static_cast<std::size_t>(selected) >= port.size()) return kNoEntryText;
    return port[static_cast<std::size_t>(selected)];
}

std::string InterfaceList::selected_counterpart() const {
    if (selected < 0 || static_cast<std::size_t>(selected) >= list1.size()) return {};
    return list1[static_cast<std::size_t>(selected)];
}

CommandChanges port_click_changes(bool check1, const std::string& entry, bool plus_checked) {
    using C = Command;
    CommandChanges ch{};
    auto set = [&](C c, bool on) { ch[static_cast<std::size_t>(c)] = on; };
    const bool com = entry.rfind("COM", 0) == 0;
    const bool lan = entry == kLanEntry;
    const bool lan_or_lpt1 = lan || entry == "LPT1";
    if (check1) {
        set(C::ReadNvm, true), set(C::WriteNvm, false), set(C::RestoreMfg, true);
        set(C::LoadFw, true), set(C::Reboot, false), set(C::UsbId, false), set(C::ExitSetup, true);
        if (com || lan) set(C::LoadFw, false);
        return ch;
    }
    set(C::ReadNvm, false), set(C::WriteNvm, false), set(C::RestoreMfg, false);
    set(C::LoadFw, true), set(C::Reboot, true), set(C::UsbId, true), set(C::ExitSetup, false);
    set(C::SendSetup, true);
    if (plus_checked && !lan_or_lpt1 && com) {
        set(C::ReadNvm, true), set(C::WriteNvm, false), set(C::RestoreMfg, true);
        set(C::LoadFw, false), set(C::Reboot, false), set(C::UsbId, false),
            set(C::SendSetup, false);
    } else if (plus_checked && lan_or_lpt1) {
        set(C::ReadNvm, false), set(C::WriteNvm, false), set(C::RestoreMfg, false);
        set(C::Reboot, false), set(C::UsbId, false), set(C::SendSetup, true);
    } else if (!plus_checked && !lan_or_lpt1 && com) {
        // check1 is known to be 0 here.
        set(C::ReadNvm, true), set(C::RestoreMfg, true), set(C::LoadFw, false);
        set(C::Reboot, false), set(C::UsbId, false), set(C::ExitSetup, true);
        set(C::SendSetup, false), set(C::Refresh, false);
    } else if (!plus_checked && lan_or_lpt1) {
        set(C::ReadNvm, false), set(C::WriteNvm, false), set(C::RestoreMfg, false);
        set(C::Reboot, false), set(C::UsbId, false);
    }
    return ch;
}

std::optional<int> com_number(const std::string& name) {
    const auto at = name.find("COM");
    if (at == std::string::npos) return std::nullopt;
    const std::string rest = name.substr(at + 3);
    int n = 0;
    const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), n);
    if (ec != std::errc() || end != rest.data() + rest.size() || n <= 0) return std::nullopt;
    return n;
}

}  // namespace kp28setup
