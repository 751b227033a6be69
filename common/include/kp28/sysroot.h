// Every look-up of hardware goes through one prefix, KP28_SYSROOT, so the real
// discovery code can run against a fake tree in tests and in the virtual printer.
#pragma once

#include <string>
#include <string_view>

namespace kp28 {

// The sysroot prefix without a trailing slash: "" for the real root.
std::string sysroot();

// rel is a path below the root ("sys/class/usbmisc"); the result is absolute.
std::string sysroot_path(std::string_view rel);

}  // namespace kp28
