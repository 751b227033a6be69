#include <charconv>
#include <vector>

#include "kp28setup/serial_port.h"

namespace kp28setup {

namespace {
bool to_unsigned(std::string_view s, unsigned& out) {
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size();
}
}  // namespace

std::optional<SerialSettings> parse_settings(std::string_view text) {
    std::vector<std::string_view> parts;
    std::size_t from = 0;
    for (;;) {
        const auto comma = text.find(',', from);
        parts.push_back(
            text.substr(from, comma == std::string_view::npos ? text.npos : comma - from));
        if (comma == std::string_view::npos) break;
        from = comma + 1;
    }
    if (parts.size() != 4 || parts[1].size() != 1) return std::nullopt;
    SerialSettings s;
    if (!to_unsigned(parts[0], s.baud) || !to_unsigned(parts[2], s.data_bits) ||
        !to_unsigned(parts[3], s.stop_bits))
        return std::nullopt;
    s.parity = parts[1][0];
    // The printer speaks 8N1 only; the speeds are those its two dialogues
    // and its USB CDC port use.
    if (s.parity != 'n' || s.data_bits != 8 || s.stop_bits != 1) return std::nullopt;
    if (s.baud != 9600 && s.baud != 19200 && s.baud != 115200) return std::nullopt;
    return s;
}

}  // namespace kp28setup
