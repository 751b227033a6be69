// Bytes from the printer and from a description are single-byte text:
// Windows-1252, Latin-1 where a byte has no Windows-1252 meaning.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kp28setup {

// Printer bytes as UTF-8, for the window.
std::string cp1252_to_utf8(const std::string& bytes);

// Text for the image: characters that encode to one Windows-1252 byte each
// (Latin-1 controls for the bytes the code page leaves undefined). nullopt
// when a character has no single byte, or the text is not UTF-8.
std::optional<std::string> utf8_to_cp1252(std::string_view utf8);

}  // namespace kp28setup
