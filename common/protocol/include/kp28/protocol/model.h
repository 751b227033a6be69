// The two printer models and what tells them apart on the wire: a KP28Plus
// sends lengths, checksums and two-byte values least significant byte first,
// a KP28 most significant first. Both keep a 2048-byte setup memory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kp28 {

enum class Model { KP28, KP28Plus };

inline constexpr std::size_t kNvmSize = 2048;

inline bool is_plus(Model m) {
    return m == Model::KP28Plus;
}
inline Model model_of(bool plus_model) {
    return plus_model ? Model::KP28Plus : Model::KP28;
}
// "KP28Plus" or "KP28".
std::string_view model_name(Model m);

// A two-byte value in the model's byte order.
inline std::array<std::uint8_t, 2> model_u16_bytes(Model m, std::uint16_t v) {
    const auto lo = static_cast<std::uint8_t>(v);
    const auto hi = static_cast<std::uint8_t>(v >> 8);
    return is_plus(m) ? std::array<std::uint8_t, 2>{lo, hi} : std::array<std::uint8_t, 2>{hi, lo};
}
inline void put_model_u16(Model m, std::uint8_t* p, std::uint16_t v) {
    const auto b = model_u16_bytes(m, v);
    p[0] = b[0];
    p[1] = b[1];
}
inline std::uint16_t get_model_u16(Model m, const std::uint8_t* p) {
    return is_plus(m) ? static_cast<std::uint16_t>(p[0] | (p[1] << 8))
                      : static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

// The NVM checksum over all of image as its four bytes travel, in the
// model's order.
std::array<std::uint8_t, 4> model_nvm_checksum(Model m, std::span<const std::uint8_t> image);

}  // namespace kp28
