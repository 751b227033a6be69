// The normal-mode dialogue: the frames a tool sends, the replies a printer
// gives, and a parser for each, so both sides of the line are built from one
// description of the bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kp28/protocol/frame.h"

namespace kp28 {

inline constexpr std::size_t kProductNameLength = 17;
inline constexpr std::size_t kVersionLength = 5;
inline constexpr std::size_t kUsbIdLength = 32;
inline constexpr std::size_t kImageHeaderSize = 256;
// The 256 bytes that may go with the image size command.
using ImageHeader = std::array<std::uint8_t, kImageHeaderSize>;

// Reply sizes the tools read.
inline constexpr std::size_t kAckSize = 6;
inline constexpr std::size_t kProductNameReplyMax = 5 + kProductNameLength;
inline constexpr std::size_t kVersionReplySize = 5 + kVersionLength;
inline constexpr std::size_t kUsbIdReplySize = 6 + kUsbIdLength;

// The operation byte of a DLL-mode or USB-ID-mode command (payload offset 2).
enum DllOperation : std::uint8_t {
    kDllImageSize = 0x01,
    kDllImageData = 0x02,
    kDllWriteFlash = 0x03,
    kDllReboot = 0x04,
};
enum UsbIdOperation : std::uint8_t {
    kUsbIdWrite = 0x01,
    kUsbIdRead = 0x02,
};
// Payload sizes of the image size command without and with its header.
inline constexpr std::size_t kImageSizePayload = 7;
inline constexpr std::size_t kImageSizeHeaderPayload = kImageSizePayload + kImageHeaderSize;

// Frames exactly as a tool writes them.
namespace frames {
std::vector<std::uint8_t> product_name_query();
std::vector<std::uint8_t> firmware_version_query();
std::vector<std::uint8_t> enter_dll_mode();
std::vector<std::uint8_t> leave_dll_mode(std::uint8_t token);
std::vector<std::uint8_t> image_size(std::uint8_t token, std::uint32_t size,
                                     const ImageHeader* header);
std::vector<std::uint8_t> image_data(std::uint8_t token);
std::vector<std::uint8_t> write_flash(std::uint8_t token);
std::vector<std::uint8_t> reboot(std::uint8_t token);
std::vector<std::uint8_t> enter_usb_id_mode();
std::vector<std::uint8_t> leave_usb_id_mode(std::uint8_t token);
std::vector<std::uint8_t> read_usb_id(std::uint8_t token);
// The length field counts the three command bytes only; the identifier and
// its terminating zero follow uncounted.
std::vector<std::uint8_t> write_usb_id(std::uint8_t token, std::string_view identifier);
}  // namespace frames

// A command as the printer reads it from a frame's payload. Only the exact
// shapes above are commands; the printer decides what to do with the rest.
struct Command {
    enum Kind {
        kProductNameQuery,
        kFirmwareVersionQuery,
        kEnterDllMode,
        kLeaveDllMode,  // also the enter command's shape with a non-zero token
        kImageSize,
        kImageData,
        kWriteFlash,
        kReboot,
        kEnterUsbIdMode,
        kLeaveUsbIdMode,
        kReadUsbId,
        kWriteUsbId,  // the identifier text follows the frame
        kLoadSetup,   // see load_setup.h for its content
    } kind = kProductNameQuery;
    std::uint8_t token = 0;
    std::uint32_t image_size = 0;       // kImageSize
    std::optional<ImageHeader> header;  // kImageSize with header
};
std::optional<Command> parse_command(std::span<const std::uint8_t> payload);

// The text after a write-identifier frame: characters up to a zero byte.
struct UsbIdText {
    std::string identifier;
    std::size_t consumed = 0;  // bytes taken, the zero included
};
// nullopt while no zero has arrived.
std::optional<UsbIdText> parse_usb_id_text(std::span<const std::uint8_t> bytes);

// Replies exactly as a printer writes them.
namespace replies {
// The name, and a terminating zero when it is shorter than 17 characters.
std::vector<std::uint8_t> product_name(std::string_view name);
std::vector<std::uint8_t> firmware_version(std::string_view version);
// The acknowledgement of the two modes: prefix, class, token.
std::vector<std::uint8_t> ack(std::uint8_t mode_class, std::uint8_t token);
// The identifier zero-padded (or cut) to 32 bytes.
std::vector<std::uint8_t> usb_id(std::uint8_t token, std::string_view identifier);
}  // namespace replies

// Reply parsers of the tool's side; nullopt for a reply the tool refuses
// (short, wrong prefix or class). The product name reply may be short.
std::optional<std::uint8_t> parse_ack(std::span<const std::uint8_t> reply, std::uint8_t mode_class);
std::optional<std::string> parse_product_name(std::span<const std::uint8_t> reply);
std::optional<std::array<char, kVersionLength>> parse_firmware_version(
    std::span<const std::uint8_t> reply);
struct UsbIdReply {
    std::uint8_t token = 0;
    std::string identifier;  // up to the first zero
};
std::optional<UsbIdReply> parse_usb_id_reply(std::span<const std::uint8_t> reply);

// Whether a product name marks a printer that can record a USB identifier.
// supported_message: the name was tested at its feature position (the tools
// say so) rather than accepted by its prefix.
bool usb_id_feature(std::string_view product_name, bool& supported_message);
inline bool usb_id_feature(std::string_view product_name) {
    bool unused = false;
    return usb_id_feature(product_name, unused);
}

}  // namespace kp28
