#include "stoppable_port.h"

#include <algorithm>

namespace kp28gui {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

void StoppablePort::write(std::span<const std::uint8_t> bytes, milliseconds limit) {
    if (stopped_) throw kp28setup::CommError(kp28setup::kErrTimeout, "the window was closed");
    inner_.write(bytes, limit);
}

std::optional<std::uint8_t> StoppablePort::read_byte(milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (stopped_) return std::nullopt;
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left <= milliseconds::zero()) return inner_.read_byte(milliseconds::zero());
        if (auto b = inner_.read_byte(std::min(left, kSlice))) return b;
        if (Clock::now() >= deadline) return std::nullopt;
    }
}

std::optional<std::uint8_t> StoppablePort::read_now() {
    if (stopped_) return std::nullopt;
    return inner_.read_now();
}

bool StoppablePort::drain(milliseconds limit) {
    if (stopped_) {
        inner_.discard_output();
        return inner_.drain(milliseconds::zero());
    }
    return inner_.drain(limit);
}

}  // namespace kp28gui
