#include "test_bytes.h"

#include <cstdint>
#include <filesystem>

namespace retrieval_test {

std::string every_byte_value(std::size_t repeats) {
    std::string bytes;
    for (std::size_t r = 0; r < repeats; ++r) {
        for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
        bytes += "\r\n\n\r\r\n\x1a";
    }
    bytes += '\r';
    return bytes;
}

std::string pseudo_random_bytes(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    std::uint64_t x = 0x9E3779B97F4A7C15ull ^ seed;
    for (std::size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        bytes[i] = static_cast<char>(x >> 24);
    }
    return bytes;
}

std::size_t count_entries_starting_with(const std::string& dir, const std::string& prefix) {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().filename().string().rfind(prefix, 0) == 0) ++count;
    return count;
}

}  // namespace retrieval_test
