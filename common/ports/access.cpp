#include "kp28/ports/access.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kp28::ports {

int access_error(const std::string& node) {
    // Effective ids, as open() uses them; plain access() would ask with the
    // real ids and give a set-id program the wrong answer.
    if (::faccessat(AT_FDCWD, node.c_str(), R_OK | W_OK, AT_EACCESS) == 0) return 0;
    return errno;
}

}  // namespace kp28::ports
