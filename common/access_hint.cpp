#include "kp28/access_hint.h"

#include <cerrno>

namespace kp28 {

std::string permission_hint(int err) {
    if (err != EACCES && err != EPERM) return {};
    return "Run \"kp28setup doctor\" to see why this user may not open the device and how to "
           "fix it.";
}

}  // namespace kp28
