#include "kp28setup/time_limits.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

namespace kp28setup {

TimeLimits TimeLimits::from_environment() {
    TimeLimits t;
    const char* v = std::getenv("KP28SETUP_READ_TIMEOUT_MS");
    if (!v || !*v) return t;
    long ms = 0;
    const auto [end, ec] = std::from_chars(v, v + std::strlen(v), ms);
    if (ec != std::errc() || *end != '\0' || ms <= 0) return t;
    const std::chrono::milliseconds limit{ms};
    t.byte = std::min(t.byte, limit);
    t.echo = std::min(t.echo, limit);
    return t;
}

}  // namespace kp28setup
