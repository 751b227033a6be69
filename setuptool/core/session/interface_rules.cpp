// What picking an entry of the interface list does to the buttons, and what
// the window can ever offer on an entry.
#include <bitset>

#include "kp28setup/commands.h"
#include "kp28setup/interface_list.h"

namespace kp28setup {

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

std::array<bool, kCommandCount> ever_enabled(const std::string& entry, bool check1) {
    // A window state as far as the buttons go: the buttons and the menu's
    // model. Both are small, so every state is visited once.
    struct State {
        CommandStates commands;
        bool plus = true;
        std::size_t key() const {
            std::size_t k = plus ? 1 : 0;
            for (std::size_t i = 0; i < kCommandCount; ++i)
                k = k * 2 + (commands.enabled(static_cast<Command>(i)) ? 1 : 0);
            return k;
        }
    };
    auto pick = [&](State s) {
        const CommandChanges ch = port_click_changes(check1, entry, s.plus);
        for (std::size_t i = 0; i < kCommandCount; ++i)
            if (ch[i]) s.commands.set(static_cast<Command>(i), *ch[i]);
        return s;
    };
    // A refresh selects the first entry and the operator picks this one
    // again; the pick sets every button but "Send  Setup" and the refresh
    // itself, which the first entry's pick leaves as this one's does.
    auto refresh = [&](State s) {
        if (check1) {
            s.commands.apply(situation::kCdcPortFound);
            s.plus = true;
        }
        return pick(s);
    };
    State start;
    start.commands.apply(situation::kWindowCreated);
    std::bitset<(std::size_t{1} << (kCommandCount + 1))> seen;
    std::vector<State> todo;
    auto visit = [&](const State& s) {
        if (!seen.test(s.key())) seen.set(s.key()), todo.push_back(s);
    };
    visit(refresh(start));
    std::array<bool, kCommandCount> ever{};
    while (!todo.empty()) {
        const State s = todo.back();
        todo.pop_back();
        for (std::size_t i = 0; i < kCommandCount; ++i) {
            const auto c = static_cast<Command>(i);
            if (!s.commands.enabled(c)) continue;
            ever[i] = true;
            if (c == Command::Refresh) visit(refresh(s));
            for (const auto& outcome : outcomes(c)) {
                State next = s;
                for (const Enablement* e : outcome) next.commands.apply(*e);
                visit(next);
            }
        }
        State plus = s, kp28 = s;
        plus.commands.apply(situation::kMenuKp28Plus);
        plus.plus = true;
        kp28.commands.apply(situation::kMenuKp28);
        kp28.plus = false;
        visit(pick(plus));
        visit(pick(kp28));
    }
    return ever;
}

}  // namespace kp28setup
