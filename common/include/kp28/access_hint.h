// The line every tool adds when the system refuses it a device node, so that
// a technician who meets "Permission denied" learns where the fix is told.
// The system's own message stays as it is; this line comes after it.
#pragma once

#include <string>

namespace kp28 {

// For EACCES and EPERM: one line (without a line end) naming
// `kp28setup doctor`; for any other errno: empty.
std::string permission_hint(int err);

}  // namespace kp28
