#include "kp28setup/value_encoding.h"

#include <charconv>

namespace kp28setup::encoding {

int number_read_width(int size) {
    return size == 1 ? 1 : 2;
}

int number_write_width(int size) {
    return size == 2 ? 2 : 1;
}

bool in_image(int offset, int count) {
    return offset >= 0 && count >= 0 && offset <= static_cast<int>(kNvmSize) &&
           count <= static_cast<int>(kNvmSize) - offset;
}

std::optional<int> read_number(const Image& image, ParameterSlot slot, bool plus) {
    const int at = slot.offset;
    if (!in_image(at, number_read_width(slot.size))) return std::nullopt;
    const auto i = static_cast<std::size_t>(at);
    if (slot.size == 1) return image[i];
    const int high = plus ? image[i + 1] : image[i];
    const int low = plus ? image[i] : image[i + 1];
    return high * 256 + low;
}

bool number_fits(int size, int stored) {
    return stored >= 0 && stored <= (number_write_width(size) == 2 ? 0xFFFF : 0xFF);
}

bool write_number(Image& image, ParameterSlot slot, int stored, bool plus) {
    const int width = number_write_width(slot.size);
    if (!number_fits(slot.size, stored) || !in_image(slot.offset, width)) return false;
    const auto i = static_cast<std::size_t>(slot.offset);
    if (width == 1) {
        image[i] = static_cast<std::uint8_t>(stored);
        return true;
    }
    const auto high = static_cast<std::uint8_t>(stored / 256);
    const auto low = static_cast<std::uint8_t>(stored - 256 * (stored / 256));
    image[i] = plus ? low : high;
    image[i + 1] = plus ? high : low;
    return true;
}

std::string read_string(const Image& image, ParameterSlot slot) {
    if (!in_image(slot.offset, slot.size)) return {};
    std::string text;
    for (int k = 0; k < slot.size; ++k) {
        const std::uint8_t b = image[static_cast<std::size_t>(slot.offset + k)];
        if (b == 0) break;
        text += static_cast<char>(b);
    }
    return text;
}

bool write_string(Image& image, ParameterSlot slot, std::string_view text) {
    if (!in_image(slot.offset, slot.size) || text.size() > static_cast<std::size_t>(slot.size))
        return false;
    const auto at = static_cast<std::size_t>(slot.offset);
    for (std::size_t k = 0; k < text.size(); ++k)
        image[at + k] = static_cast<std::uint8_t>(text[k]);
    // A text that fills the field has no room for its end mark; the byte
    // after the field belongs to another parameter.
    if (text.size() < static_cast<std::size_t>(slot.size)) image[at + text.size()] = 0;
    return true;
}

std::optional<int> octet_value(std::string_view text) {
    if (text.empty()) return 0;
    if (text.size() > 3) return std::nullopt;
    int v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < 0 || v > 255)
        return std::nullopt;
    return v;
}

}  // namespace kp28setup::encoding
