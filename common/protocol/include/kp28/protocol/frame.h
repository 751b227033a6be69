// Normal-mode command frames: the four-byte prefix, a 16-bit little-endian
// payload length and the payload, whose first byte is the command class.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kp28 {

inline constexpr std::uint8_t kFramePrefix[4] = {0x14, 0x14, 0x1B, 0x14};
inline constexpr std::size_t kFrameHeaderSize = 6;  // prefix + length

enum CommandClass : std::uint8_t {
    kClassIdentity = 0x01,
    kClassLoadSetup = 0x0D,
    kClassDllMode = 0x1C,
    kClassUsbIdMode = 0x1D,
};

// Reply class bytes of the identity queries.
inline constexpr std::uint8_t kReplyProductName = 0x01;
inline constexpr std::uint8_t kReplyFirmwareVersion = 0x02;

// prefix, length (written as given: two frames deliberately carry more bytes
// than their length counts) and payload.
std::vector<std::uint8_t> make_frame(std::uint16_t length, std::span<const std::uint8_t> payload);
// The usual case: the length is the payload's size.
std::vector<std::uint8_t> make_frame(std::span<const std::uint8_t> payload);

// A reply: the prefix, its class byte and the data (replies carry no length).
std::vector<std::uint8_t> make_reply(std::uint8_t reply_class, std::span<const std::uint8_t> data);

// Whether bytes begin with the prefix and the given class byte.
bool starts_with_prefix(std::span<const std::uint8_t> bytes, std::uint8_t reply_class);

// Where the next frame lies in a stream of bytes that may hold print data,
// parts of frames or several frames.
struct FrameSearch {
    enum Status {
        kNone,        // no prefix: bytes before `start` are not part of any frame
        kIncomplete,  // a prefix at `start`, but the frame has not all arrived
        kComplete,    // a frame at `start`: payload [payload_begin, end)
    } status = kNone;
    // kNone: the bytes from here on may be the beginning of a prefix and are
    // to be kept; otherwise the prefix's position.
    std::size_t start = 0;
    std::size_t payload_begin = 0;
    std::size_t end = 0;  // one past the payload (the length field's count)
};
FrameSearch find_frame(std::span<const std::uint8_t> bytes);

inline std::uint16_t get_le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t get_le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint32_t get_be32(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}
inline void put_le16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put_le32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace kp28
