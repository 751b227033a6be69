#include "kp28setup/commands.h"

namespace kp28setup {

std::string_view caption(Command c) {
    switch (c) {
        case Command::ReadNvm:
            return "Read NVM";
        case Command::WriteNvm:
            return "Write NVM";
        case Command::RestoreMfg:
            return "Restore MFG";
        case Command::SendSetup:
            return "Send  Setup";
        case Command::ExitSetup:
            return "Exit from SETUP";
        case Command::Reboot:
            return "Reboot";
        case Command::LoadFw:
            return "Load FW";
        case Command::UsbId:
            return "USB ID";
        case Command::Refresh:
            return "Refresh List Interfaces";
    }
    return "";
}

namespace situation {
using C = Command;
const Enablement kWindowCreated{{C::ReadNvm, C::RestoreMfg, C::SendSetup, C::ExitSetup, C::Reboot,
                                 C::LoadFw, C::UsbId, C::Refresh},
                                {C::WriteNvm}};
const Enablement kInterfaceListEmpty{
    {}, {C::ReadNvm, C::WriteNvm, C::RestoreMfg, C::SendSetup, C::Reboot, C::LoadFw, C::UsbId}};
const Enablement kPlusInSetupMode{{C::RestoreMfg, C::ReadNvm, C::ExitSetup, C::WriteNvm},
                                  {C::Reboot, C::LoadFw, C::UsbId, C::SendSetup}};
const Enablement kKp28InSetupMode{{C::WriteNvm}, {C::ExitSetup}};
const Enablement kNormalMode{{C::Reboot, C::LoadFw, C::UsbId, C::SendSetup},
                             {C::WriteNvm, C::RestoreMfg, C::ReadNvm, C::ExitSetup}};
const Enablement kReadFailed{{}, {C::WriteNvm}};
const Enablement kReadSucceeded{{C::WriteNvm}, {}};
const Enablement kMenuKp28Plus{{C::Reboot, C::UsbId, C::ExitSetup}, {}};
const Enablement kMenuKp28{{C::Reboot, C::UsbId}, {C::ExitSetup}};
const Enablement kCdcPortFound{{C::RestoreMfg, C::ReadNvm, C::ExitSetup},
                               {C::Reboot, C::LoadFw, C::UsbId, C::SendSetup, C::WriteNvm}};
const Enablement kComSelectedAfterRefresh{{C::RestoreMfg, C::ReadNvm, C::ExitSetup, C::Refresh},
                                          {C::SendSetup}};
}  // namespace situation

std::vector<std::vector<const Enablement*>> outcomes(Command c) {
    using namespace situation;
    switch (c) {
        case Command::ReadNvm:
        case Command::RestoreMfg:
            // A restore ends in the read of the defaults, or finds the
            // printer in normal mode as a read does.
            return {{&kPlusInSetupMode, &kReadSucceeded},
                    {&kPlusInSetupMode, &kReadFailed},
                    {&kKp28InSetupMode, &kReadSucceeded},
                    {&kKp28InSetupMode, &kReadFailed},
                    {&kNormalMode},
                    {&kReadFailed}};
        case Command::WriteNvm:
        case Command::SendSetup:
        case Command::ExitSetup:
        case Command::Reboot:
        case Command::LoadFw:
        case Command::UsbId:
        case Command::Refresh:  // the list's own table, see ever_enabled()
            return {};
    }
    return {};
}

bool CommandStates::set(Command c, bool on) {
    bool& slot = enabled_[static_cast<std::size_t>(c)];
    const bool changed = slot != on;
    slot = on;
    return changed;
}

bool CommandStates::apply(const Enablement& e) {
    bool changed = false;
    for (Command c : e.enable) changed |= set(c, true);
    for (Command c : e.disable) changed |= set(c, false);
    return changed;
}

}  // namespace kp28setup
