#include "kp28setup/text.h"

namespace kp28setup {

namespace {
// Windows-1252 at 0x80..0x9F; 0 where the code page has no character there,
// which then reads as the Latin-1 control character of the same value.
constexpr char16_t kHigh[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
}  // namespace

std::string cp1252_to_utf8(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        char32_t cp = b;
        if (b >= 0x80 && b < 0xA0 && kHigh[b - 0x80]) cp = kHigh[b - 0x80];
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::optional<std::string> utf8_to_cp1252(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b0 = static_cast<unsigned char>(utf8[i]);
        char32_t cp = 0;
        std::size_t len = 0;
        if (b0 < 0x80) {
            cp = b0;
            len = 1;
        } else if ((b0 & 0xE0) == 0xC0) {
            cp = b0 & 0x1F;
            len = 2;
        } else if ((b0 & 0xF0) == 0xE0) {
            cp = b0 & 0x0F;
            len = 3;
        } else {
            return std::nullopt;  // beyond the code page, or no UTF-8 at all
        }
        if (i + len > utf8.size()) return std::nullopt;
        for (std::size_t k = 1; k < len; ++k) {
            const auto b = static_cast<unsigned char>(utf8[i + k]);
            if ((b & 0xC0) != 0x80) return std::nullopt;
            cp = (cp << 6) | (b & 0x3F);
        }
        // Overlong forms would give a second spelling of the same byte.
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800)) return std::nullopt;
        i += len;
        if (cp < 0x80 || (cp >= 0xA0 && cp < 0x100)) {
            out += static_cast<char>(cp);
            continue;
        }
        int byte = -1;
        for (int k = 0; k < 32; ++k)
            if (kHigh[k] ? kHigh[k] == cp : cp == static_cast<char32_t>(0x80 + k)) byte = 0x80 + k;
        if (byte < 0) return std::nullopt;
        out += static_cast<char>(byte);
    }
    return out;
}

}  // namespace kp28setup
