// The NVM checksum that a printer sends after its setup memory and that the
// setup tool checks: a 32-bit shift register fed with 32-bit words of the image.
// It is no published CRC, so it lives here, shared by the printer side and the
// setup tool.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kp28 {

// The register value over image[0 .. n-1]. Words are little-endian for a
// KP28Plus (plus_model) and big-endian for a KP28. At least one word is
// taken; words are taken while the next word starts below n - 1, so the last
// word may reach up to 3 bytes past n and, for n = 4k + 1, the last image
// byte is not covered. Bytes past the end of `image` read as zero (the
// buffer never reaches past what the caller holds).
std::uint32_t nvm_crc_value(std::span<const std::uint8_t> image, std::size_t n, bool plus_model);

// The same as the four bytes that travel on the line, in the model's order:
// least significant first for a KP28Plus, most significant first for a KP28.
std::array<std::uint8_t, 4> nvm_crc(std::span<const std::uint8_t> image, std::size_t n,
                                    bool plus_model);

}  // namespace kp28
