// Hardware look-ups on Linux: USB printers (usblp), serial ports and parallel
// ports as sysfs shows them, and the COM and LPT names the tools give them.
// Every scan takes the sysroot prefix ("" for the real root, usually
// kp28::sysroot()), so tests run the same code against a fake tree. Scans
// never throw; what cannot be read is left out.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kp28::ports {

// Reads a small sysfs-style attribute: the first line, trailing blanks and
// line end removed. Returns false when the file cannot be read.
bool read_attribute(const std::string& path, std::string& value);

// One usblp printer.
struct UsbPrinterEntry {
    std::string path_text;  // "usb#vid_VVVV&pid_PPPP#SERIAL#/dev/usb/lpN", offered to the filter
    std::string node;       // the device node below the sysroot, the file that is opened
};
// usblp printers under root/sys/class/usbmisc, ascending N. Entries whose
// vendor or product cannot be read are left out.
std::vector<UsbPrinterEntry> scan_usb_printers(const std::string& root);

struct SerialPortEntry {
    std::string name;      // ttyS0, ttyUSB1, ttyACM0
    std::string node;      // root + /dev/NAME
    int com = 0;           // the COM number (see com_number)
    bool cdc_acm = false;  // the device's driver is cdc_acm: a printer's own USB port
};
// ttySn (only with a non-zero type), ttyUSBn and ttyACMn that have a device
// link and a device node; ascending COM number.
std::vector<SerialPortEntry> scan_serial_ports(const std::string& root);

struct ParallelPortEntry {
    int lpt = 0;       // the LPT number, N + 1 for lpN
    std::string node;  // root + /dev/lpN
};
// lpN under root/sys/class/printer that have a device node; ascending N.
std::vector<ParallelPortEntry> scan_parallel_ports(const std::string& root);

// ttySn is COM(n+1), ttyUSBn COM(33+n), ttyACMn COM(65+n). The first two
// kinds have 32 numbers each so that the names never collide; a node outside
// its range (or any other name) has no COM number.
std::optional<int> com_number(std::string_view node_name);
// The node name of a COM number, the inverse of com_number.
std::optional<std::string> node_name_for_com(int com);
// "COM3"; "LPT1".
std::string com_name(int com);
std::string lpt_name(int lpt);
// The COM or LPT number in a name such as "COM12" or "LPT1" (the digits after
// the kind, nothing else).
std::optional<int> com_number_of_name(std::string_view name);
std::optional<int> lpt_number_of_name(std::string_view name);

// The device node of COM n when the scan lists that port.
std::optional<std::string> node_for_com(const std::string& root, int com);
// The device node of LPT n when the scan lists that port.
std::optional<std::string> node_for_lpt(const std::string& root, int lpt);

}  // namespace kp28::ports
