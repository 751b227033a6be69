// Where hardware appears below the sysroot. The scans read these places and
// the fake hardware tree of the tests builds them, so the two cannot drift.
// Every path is relative to the sysroot (no leading slash).
#pragma once

#include <string>
#include <string_view>

namespace kp28::ports::layout {

inline constexpr std::string_view kUsbPrinterClass = "sys/class/usbmisc";  // lpN: usblp printers
inline constexpr std::string_view kTtyClass = "sys/class/tty";           // ttySn, ttyUSBn, ttyACMn
inline constexpr std::string_view kParallelClass = "sys/class/printer";  // lpN: parallel ports
// The driver whose serial ports are a printer's own USB CDC interface.
inline constexpr std::string_view kCdcAcmDriver = "cdc_acm";

// Serial node names: ttySn, ttyUSBn, ttyACMn.
inline constexpr std::string_view kSerialPrefix = "ttyS";
inline constexpr std::string_view kUsbSerialPrefix = "ttyUSB";
inline constexpr std::string_view kAcmPrefix = "ttyACM";

std::string usb_printer_dir(int n);           // sys/class/usbmisc/lpN
std::string usb_printer_node(int n);          // dev/usb/lpN
std::string tty_dir(std::string_view name);   // sys/class/tty/NAME
std::string tty_node(std::string_view name);  // dev/NAME
std::string parallel_dir(int n);              // sys/class/printer/lpN
std::string parallel_node(int n);             // dev/lpN

// Within a class entry: the link to the device, its driver link and the
// serial type attribute.
inline constexpr std::string_view kDeviceLink = "device";
inline constexpr std::string_view kDriverLink = "device/driver";
inline constexpr std::string_view kTypeAttribute = "type";

}  // namespace kp28::ports::layout
