// The interface list of the main window: the entries the operator picks from
// (`port`), their port names beside them (`List1`) and whether a USB CDC port
// was found (`Check1`).
#pragma once

#include <optional>
#include <string>
#include <vector>

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

// The serial and parallel ports below a sysroot ("" for the real root), serial
// ports first in ascending COM number, then parallel ports in ascending LPT
// number.
std::vector<PortInfo> scan_ports(const std::string& root);
// The device node of COM n as the same scan lists it.
std::optional<std::string> node_for_com(const std::string& root, int com);

}  // namespace kp28setup
