// Which of the five firmware image layouts a file has, decided from its first
// bytes, and the checks that go with the decision. Pure functions: the update
// operation reads the bytes and acts on the answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "result.h"

namespace fwupdate {

// In the order in which they are tested; the first match decides.
enum class ImageKind {
    ZippedWithoutHeader,  // 1F 8B 08 08 at 4: gzip stream from 4, unpacked, no header
    BootImage,            // 27 05 19 56 at 0: sent whole
    ZippedWithHeader,     // 1F 8B 08 08 at 256: header 0-255, gzip stream from 256
    ClearWithHeader,      // 87 28 89 09 at 252: header 0-255, data from 256
    ClearWithoutHeader,   // 7F 45 4C 46 (ELF) at 0: sent whole
    Unknown,
};

inline constexpr std::size_t kImageProbeSize = 2048;  // bytes read from the start of the file
inline constexpr std::size_t kImageHeaderSize = 256;  // ImageHeader sent with the image size
inline constexpr std::size_t kBootHeaderSize = 64;    // legacy boot-image header covered by its CRC

struct ImageRecognition {
    ImageKind kind = ImageKind::Unknown;
    // "Processing ..." for a recognised kind, empty for Unknown.
    std::string_view announcement;
    // Success when the checks pass, else a failure whose text is announced
    // ("Input Image Bad CRC Code", "Input Image Bad ELF Code").
    Result verdict{};
    // Start of the gzip stream for the two zipped kinds (4 or 256), else 0.
    std::size_t gzip_offset = 0;
    // First data byte sent for the clear-with-header kind (256), else 0.
    std::size_t data_offset = 0;
    // Bytes 0-255 go to the printer as the ImageHeader.
    bool sends_header = false;

    bool ok() const { return verdict.ok(); }
};

// `first_bytes`: up to kImageProbeSize bytes from the start of the file;
// missing bytes count as zero (a short file is read into a zero-filled
// buffer). Announce `announcement` when it is not empty, then the verdict's
// text when it failed.
ImageRecognition recognise_image(std::span<const std::uint8_t> first_bytes);

// The boot-image header check alone: the CRC-32 of the first 64 bytes with
// bytes 4-7 cleared equals bytes 4-7 read big-endian.
bool boot_header_crc_ok(std::span<const std::uint8_t, kBootHeaderSize> header);

}  // namespace fwupdate
