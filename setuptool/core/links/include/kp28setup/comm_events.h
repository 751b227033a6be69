// What a serial event means to the window: the status text it shows and what
// it does to the last communication error.
#pragma once

#include <optional>
#include <string>

namespace kp28setup {

// The text after "Status : ".
std::string comm_status_text(int comm_event);
// The new last communication error, or nullopt when the event leaves it alone.
std::optional<std::string> comm_error_text(int comm_event);

}  // namespace kp28setup
