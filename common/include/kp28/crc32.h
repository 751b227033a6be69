// CRC-32 of ISO 3309 / RFC 1952 (the gzip and boot-image checksum): reflected
// polynomial 0xEDB88320, register preset to all ones, result complemented.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kp28 {

// Continues a checksum: `previous` is the result of an earlier call (0 to
// start), so crc32(crc32(0, a), b) == crc32(0, a + b). Over no bytes the value
// is returned unchanged. Uses carry-less multiplication where the processor has
// it and tables otherwise (four interleaved lanes of eight bytes per round,
// sixteen bytes per round for the last few KiB); both give the same value as
// the byte-by-byte definition.
std::uint32_t crc32(std::uint32_t previous, const void* bytes, std::size_t length);

// Copies length bytes from `from` to `to` (the two must not overlap) and
// continues the checksum `previous` over them: crc32(previous, from, length),
// with the bytes at `to` as well. Where the processor folds with carry-less
// multiplication the bytes are read once, for the copy and the checksum
// together; elsewhere it is a copy and a checksum of the copy.
std::uint32_t crc32_copy(std::uint32_t previous, void* to, const void* from, std::size_t length);

inline std::uint32_t crc32(std::uint32_t previous, std::span<const std::uint8_t> bytes) {
    return crc32(previous, bytes.data(), bytes.size());
}

// The byte-at-a-time table (entry i is the register after shifting byte i
// through a cleared register), for code that steps a raw register itself:
// reg = table[(reg ^ b) & 0xFF] ^ (reg >> 8). The table is made at compile
// time and every crc32() call starts its own register, so nothing needs to be
// built or preset before a run; calling this is harmless and cheap.
const std::array<std::uint32_t, 256>& crc_table();

// The portable path alone, for tests that compare it with the fast one.
std::uint32_t crc32_portable(std::uint32_t previous, const void* bytes, std::size_t length);

}  // namespace kp28
