// The interface list of the main window: the entries the operator picks from
// (`port`), their port names beside them (`List1`), whether a USB CDC port was
// found (`Check1`), and the command states that picking an entry sets.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "kp28setup/commands.h"

namespace kp28setup {

// One port as the hardware scan reports it, in the platform's order.
struct PortInfo {
    enum class Kind { Serial, Parallel } kind = Kind::Serial;
    std::string name;  // "COM3", "LPT1"
    std::string node;  // the device node behind it
    bool cdc = false;  // a serial port of the USB CDC driver
};

inline constexpr const char* kCdcEntry = "USB (CdC)";
inline constexpr const char* kUsbEntry = "USB";
inline constexpr const char* kLanEntry = "LAN";
inline constexpr const char* kNoEntryText = "COMx:";

struct InterfaceList {
    std::vector<std::string> port;   // entries shown
    std::vector<std::string> list1;  // counterparts of the COM and LPT entries, same positions
    std::vector<std::string> nodes;  // the node of each list1 entry
    bool check1 = false;
    int selected = -1;  // -1: none yet, the list reads kNoEntryText

    std::string selected_text() const;
    // The List1 counterpart of the selected entry, empty when it has none.
    std::string selected_counterpart() const;
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

// The serial and parallel ports below a sysroot ("" for the real root), serial
// ports first in ascending COM number, then parallel ports in ascending LPT
// number.
std::vector<PortInfo> scan_ports(const std::string& root);
// The device node of COM n as the same scan lists it.
std::optional<std::string> node_for_com(const std::string& root, int com);

// The COM number in a port name: the text after its first "COM" ("COM12":
// 12). A name without "COM", or whose remainder is not a number, has none.
std::optional<int> com_number(const std::string& name);

}  // namespace kp28setup
