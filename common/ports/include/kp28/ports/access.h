// Whether this process may read and write a device node, asked without
// opening it: opening a serial port changes its modem lines and opening a
// printer node can wake the printer, so a check must not do either.
#pragma once

#include <string>

namespace kp28::ports {

// 0 when the node may be opened for reading and writing with this process's
// effective user and groups (access control lists included); otherwise the
// errno of the refusal (ENOENT for a missing node, EACCES, EROFS, ...).
int access_error(const std::string& node);

}  // namespace kp28::ports
