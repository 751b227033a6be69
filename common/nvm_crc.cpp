#include "kp28/nvm_crc.h"

namespace kp28 {

namespace {

// Chosen by the printer's firmware; kept bit for bit.
constexpr std::uint32_t kNvmCrcPoly = 0x18000003u;

std::uint8_t byte_at(std::span<const std::uint8_t> image, std::size_t i) {
    return i < image.size() ? image[i] : 0;
}

}  // namespace

std::uint32_t nvm_crc_value(std::span<const std::uint8_t> image, std::size_t n, bool plus_model) {
    std::uint32_t r = 0xFFFFFFFFu;
    std::size_t taken = 0;
    // The loop bound compares with n - 1 in signed arithmetic: an empty image
    // still takes its one word.
    const long long last = static_cast<long long>(n) - 1;
    do {
        std::uint32_t w = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const std::uint32_t b = byte_at(image, taken + k);
            w |= plus_model ? b << (8 * k) : b << (8 * (3 - k));
        }
        const bool top = (r & 0x80000000u) != 0;
        r = (r << 1) ^ w;
        if (top) r ^= kNvmCrcPoly;
        taken += 4;
    } while (static_cast<long long>(taken) < last);
    return r;
}

std::array<std::uint8_t, 4> nvm_crc(std::span<const std::uint8_t> image, std::size_t n,
                                    bool plus_model) {
    const std::uint32_t r = nvm_crc_value(image, n, plus_model);
    std::array<std::uint8_t, 4> out{};
    for (std::size_t k = 0; k < 4; ++k) {
        const unsigned shift = plus_model ? 8 * k : 8 * (3 - k);
        out[k] = static_cast<std::uint8_t>(r >> shift);
    }
    return out;
}

}  // namespace kp28
