// The setup-mode dialogue (one-letter commands at 19200 baud) and the
// load-setup frame, which carries a whole setup memory to a printer in normal
// mode and is also what a setup file holds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kp28/protocol/model.h"

namespace kp28 {

// The letters a printer in setup mode obeys.
enum SetupLetter : std::uint8_t {
    kSetupModelName = 'n',
    kSetupReadNvm = 'r',
    kSetupWriteNvm = 'w',
    kSetupRestoreDefaults = 'R',
    kSetupDescription = 'm',
    kSetupLeave = 'g',
};

// The setup tool reads this many characters after "n".
inline constexpr std::size_t kModelReplySize = 11;
// The first 11 characters of the product name, blank-padded.
std::string model_name_reply(std::string_view product_name);

using NvmChecksum = std::array<std::uint8_t, 4>;

// The reply to "r": the image's length (two bytes in the model's order), the
// image and the four checksum bytes as given (the printer may send a wrong
// one on purpose).
std::vector<std::uint8_t> nvm_read_reply(Model m, std::span<const std::uint8_t> image,
                                         const NvmChecksum& checksum);
struct NvmTransfer {
    std::vector<std::uint8_t> image;
    NvmChecksum checksum{};
};
// nullopt unless reply holds exactly the announced length, image and checksum.
std::optional<NvmTransfer> parse_nvm_read_reply(Model m, std::span<const std::uint8_t> reply);

// What follows "w": the image and its checksum, no length (the printer knows
// the size of its memory).
std::vector<std::uint8_t> nvm_write_body(std::span<const std::uint8_t> image,
                                         const NvmChecksum& checksum);
// nullopt unless body holds image_size image bytes and four checksum bytes.
std::optional<NvmTransfer> parse_nvm_write_body(std::span<const std::uint8_t> body,
                                                std::size_t image_size = kNvmSize);

// The load-setup frame: prefix, L = N + 5 little-endian (the class byte, the
// N image bytes and the checksum), class 0x0D, image, checksum. N + 11 bytes.
std::vector<std::uint8_t> load_setup_frame(std::span<const std::uint8_t> image,
                                           const NvmChecksum& checksum);
// The same with the checksum of the model's order computed here.
std::vector<std::uint8_t> load_setup_frame(Model m, std::span<const std::uint8_t> image);
// Image and checksum of a load-setup payload (the frame's bytes after its
// length field); nullopt when it is not one or too short to hold a checksum.
std::optional<NvmTransfer> parse_load_setup_payload(std::span<const std::uint8_t> payload);
// A whole frame (or setup file): nullopt unless its length field counts
// exactly the bytes that follow it.
std::optional<NvmTransfer> parse_load_setup_frame(std::span<const std::uint8_t> frame);

}  // namespace kp28
