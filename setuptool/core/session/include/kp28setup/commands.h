// The command buttons of the main window and which of them are enabled. Every
// situation of a session enables some buttons and disables others and leaves
// the rest alone; the situations are data here so that the window, the
// console front end and the tests read the same table.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kp28setup {

enum class Command : std::size_t {
    ReadNvm,     // cmd_readNVM
    WriteNvm,    // cmd_Save
    RestoreMfg,  // cmd_restMFG
    SendSetup,   // cmd_Send_Setup
    ExitSetup,   // Command2
    Reboot,      // cmdReboot
    LoadFw,      // cmdLoadFW
    UsbId,       // cmdUSB_ID
    Refresh,     // Command1
};
inline constexpr std::size_t kCommandCount = 9;

// The caption exactly as the button shows it.
std::string_view caption(Command c);

struct Enablement {
    std::initializer_list<Command> enable;
    std::initializer_list<Command> disable;
};

// The fixed situations; the interface selection has its own table
// (interface_list.h) because it depends on the entry and the menu.
namespace situation {
extern const Enablement kWindowCreated;
extern const Enablement kInterfaceListEmpty;
extern const Enablement kPlusInSetupMode;
extern const Enablement kKp28InSetupMode;  // no answer at 9600 baud
extern const Enablement kNormalMode;       // answered at 9600 baud
extern const Enablement kReadFailed;
extern const Enablement kReadSucceeded;
extern const Enablement kMenuKp28Plus;
extern const Enablement kMenuKp28;
extern const Enablement kCdcPortFound;  // the refresh met a USB CDC port
extern const Enablement kComSelectedAfterRefresh;
}  // namespace situation

// What an operation may leave behind: each outcome is the situations it
// applies, in order. An operation absent here changes no button; the
// handlers apply nothing outside this list.
std::vector<std::vector<const Enablement*>> outcomes(Command c);

class CommandStates {
  public:
    CommandStates() { enabled_.fill(false); }

    bool enabled(Command c) const { return enabled_[static_cast<std::size_t>(c)]; }
    // Returns whether anything changed.
    bool set(Command c, bool on);
    bool apply(const Enablement& e);

    bool operator==(const CommandStates&) const = default;

  private:
    std::array<bool, kCommandCount> enabled_;
};

// What selecting an entry does to each button: enable, disable or leave.
using CommandChanges = std::array<std::optional<bool>, kCommandCount>;
CommandChanges port_click_changes(bool check1, const std::string& entry, bool plus_checked);

// The commands that some state of the window enables while `entry` is
// selected, in a list with (check1) or without a USB CDC port. Worked out
// from the tables over every order of menu choices, refreshes, picks of the
// entry and outcomes of the commands enabled on the way: a command left false
// is never offered on that entry, whatever the printer answers.
std::array<bool, kCommandCount> ever_enabled(const std::string& entry, bool check1);

}  // namespace kp28setup
