#include "kp28/frame.h"

namespace kp28 {

std::vector<std::uint8_t> make_frame(std::uint16_t length, std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> out(kFramePrefix, kFramePrefix + 4);
    out.push_back(static_cast<std::uint8_t>(length));
    out.push_back(static_cast<std::uint8_t>(length >> 8));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<std::uint8_t> make_frame(std::span<const std::uint8_t> payload) {
    return make_frame(static_cast<std::uint16_t>(payload.size()), payload);
}

}  // namespace kp28
