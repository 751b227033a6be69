#include "image_kind.h"

#include <kp28/crc32.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace fwupdate {
namespace {

// gzip identification, deflate method and a flag byte with only the file-name
// flag: what the packing tool writes; other flag bytes are not recognised.
constexpr std::uint8_t kZippedMagic[4] = {0x1F, 0x8B, 0x08, 0x08};
constexpr std::uint8_t kBootMagic[4] = {0x27, 0x05, 0x19, 0x56};    // big-endian 0x27051956
constexpr std::uint8_t kHeaderMagic[4] = {0x87, 0x28, 0x89, 0x09};  // little-endian 0x09892887
constexpr std::uint8_t kElfMagic[4] = {0x7F, 0x45, 0x4C, 0x46};

// The four bytes before the stream are not read.
constexpr std::size_t kZippedWithoutHeaderOffset = 4;
constexpr std::size_t kHeaderMagicOffset = kImageHeaderSize - 4;
constexpr std::size_t kBootCrcOffset = 4;

constexpr std::string_view kBadCrc = "Input Image Bad CRC Code";
constexpr std::string_view kBadElf = "Input Image Bad ELF Code";

bool has(const std::array<std::uint8_t, kImageProbeSize>& probe, std::size_t at,
         const std::uint8_t (&magic)[4]) {
    return std::memcmp(probe.data() + at, magic, 4) == 0;
}

}  // namespace

bool boot_header_crc_ok(std::span<const std::uint8_t, kBootHeaderSize> header) {
    std::array<std::uint8_t, kBootHeaderSize> copy;
    std::copy(header.begin(), header.end(), copy.begin());
    std::fill_n(copy.begin() + kBootCrcOffset, 4, std::uint8_t{0});
    const std::uint8_t* f = header.data() + kBootCrcOffset;
    const std::uint32_t stored = (std::uint32_t{f[0]} << 24) | (std::uint32_t{f[1]} << 16) |
                                 (std::uint32_t{f[2]} << 8) | std::uint32_t{f[3]};
    return kp28::crc32(0, copy.data(), copy.size()) == stored;
}

ImageRecognition recognise_image(std::span<const std::uint8_t> first_bytes) {
    std::array<std::uint8_t, kImageProbeSize> probe{};
    std::copy_n(first_bytes.begin(), std::min(first_bytes.size(), probe.size()), probe.begin());

    ImageRecognition r;
    if (has(probe, kZippedWithoutHeaderOffset, kZippedMagic)) {
        r.kind = ImageKind::ZippedWithoutHeader;
        r.announcement = "Processing zipped image file without the header";
        r.gzip_offset = kZippedWithoutHeaderOffset;
    } else if (has(probe, 0, kBootMagic)) {
        r.kind = ImageKind::BootImage;
        r.announcement = "Processing KP28Plus image file";
        if (!boot_header_crc_ok(
                std::span<const std::uint8_t, kBootHeaderSize>(probe.data(), kBootHeaderSize)))
            r.verdict = failure(std::string(kBadCrc));
    } else if (has(probe, kImageHeaderSize, kZippedMagic)) {
        r.kind = ImageKind::ZippedWithHeader;
        r.announcement = "Processing zipped image file with header";
        r.gzip_offset = kImageHeaderSize;
        r.sends_header = true;
        if (!has(probe, kHeaderMagicOffset, kHeaderMagic))
            r.verdict = failure(std::string(kBadCrc));
    } else if (has(probe, kHeaderMagicOffset, kHeaderMagic)) {
        r.kind = ImageKind::ClearWithHeader;
        r.announcement = "Processing clear image file with header";
        r.data_offset = kImageHeaderSize;
        r.sends_header = true;
    } else if (has(probe, 0, kElfMagic)) {
        r.kind = ImageKind::ClearWithoutHeader;
        r.announcement = "Processing clear image file without the header";
    } else {
        r.verdict = failure(std::string(kBadElf));
    }
    return r;
}

}  // namespace fwupdate
