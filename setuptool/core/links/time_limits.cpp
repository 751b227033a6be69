#include "kp28setup/time_limits.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace kp28setup {

namespace {

std::optional<std::chrono::milliseconds> env_limit(const char* name) {
    const char* v = std::getenv(name);
    if (!v || !*v) return std::nullopt;
    long ms = 0;
    const auto [end, ec] = std::from_chars(v, v + std::strlen(v), ms);
    if (ec != std::errc() || *end != '\0' || ms <= 0) return std::nullopt;
    return std::chrono::milliseconds{ms};
}

}  // namespace

TimeLimits TimeLimits::from_environment() {
    TimeLimits t;
    if (const auto limit = env_limit("KP28SETUP_READ_TIMEOUT_MS")) {
        t.byte = std::min(t.byte, *limit);
        t.echo = std::min(t.echo, *limit);
    }
    if (const auto limit = env_limit("KP28SETUP_DESCRIPTION_TIMEOUT_MS")) t.description = *limit;
    return t;
}

}  // namespace kp28setup
