#include "kp28setup/stoppable_port.h"

#include <algorithm>

namespace kp28setup {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

void StoppablePort::stopped() const {
    throw CommError(kErrStopped, "stopped");
}

void StoppablePort::write(std::span<const std::uint8_t> bytes, milliseconds limit) {
    if (stop_.stop_now()) stopped();
    inner_.write(bytes, limit);
}

std::optional<std::uint8_t> StoppablePort::read_byte(milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (stop_.stop_now()) stopped();
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left <= milliseconds::zero()) return inner_.read_byte(milliseconds::zero());
        if (auto b = inner_.read_byte(std::min(left, kSlice))) return b;
        if (Clock::now() >= deadline) return std::nullopt;
    }
}

std::optional<std::uint8_t> StoppablePort::read_now() {
    if (stop_.stop_now()) return std::nullopt;
    return inner_.read_now();
}

bool StoppablePort::drain(milliseconds limit) {
    // Outside a transfer nothing queued belongs to a frame the printer has
    // begun: a stopped program need not wait for it.
    if (stop_.stop_now()) {
        inner_.discard_output();
        return inner_.drain(milliseconds::zero());
    }
    return inner_.drain(limit);
}

}  // namespace kp28setup
