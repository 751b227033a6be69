#include "image_update.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "gunzip.h"
#include "image_kind.h"
#include "kp28/crc32.h"
#include "kp28/protocol/frame.h"
#include "temp_file.h"

namespace fwupdate {

namespace {

// The decoder's texts may end in a line feed; a log line ends with its own.
std::string trim_line_end(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    return std::string(text);
}

// A short boot image or an image with a header and nothing after it: what
// the printer would get cannot be firmware.
constexpr const char* kNoImageDataText = "Input Image Bad CRC Code";

// Writes bytes into a new temporary file made from pattern in dir and opens
// it again for reading, making sure the file read is the very file that was
// written (the name lives in a directory others may write to). On failure
// nothing is left and the text is the system's message.
Result write_temp_file(const std::string& dir, const char* pattern, const std::uint8_t* bytes,
                       std::size_t length, TempFile& temp, platform::File& data) {
    Result r = temp.create(make_temp_path(dir, pattern, platform::process_id()));
    if (r.ok()) r = temp.write_all(bytes, length);
    if (r.ok()) r = temp.close();
    if (r.ok()) {
        if (const int err = platform::File::open_for_reading(temp.path(), false, data); err != 0) {
            r = platform::os_failure(err);
        } else {
            platform::FileInfo opened;
            if (const int info_err = data.info(opened); info_err != 0)
                r = platform::os_failure(info_err);
            else if (opened.id != temp.id())
                r = platform::os_failure(EEXIST);
        }
    }
    if (!r.ok()) {
        data.close();
        temp.remove();
    }
    return r;
}

}  // namespace

Result update_image(PrinterCommands& commands, const std::string& image_path) {
    const Announcer& announcer = commands.announcer();
    auto announced = [&](Result r) {
        announcer.announce(r.text);
        return r;
    };
    platform::File image;
    if (const int err = platform::File::open_for_reading(image_path, true, image); err != 0)
        return announced(platform::os_failure(err));
    platform::FileInfo info;
    if (const int err = image.info(info); err != 0) {
        image.close();
        return announced(platform::os_failure(err));
    }
    if (!info.regular) {
        image.close();
        return announced(failure("Not a regular file: " + image_path));
    }
    return update_image(commands, std::move(image));
}

Result update_image(PrinterCommands& commands, platform::File image) {
    const Announcer& announcer = commands.announcer();
    auto announced = [&](Result r) {
        announcer.announce(r.text);
        return r;
    };
    auto system_failure = [&](int err) { return announced(platform::os_failure(err)); };
    // A name taken by something else (a directory, another user's file) must
    // be named, or the technician cannot tell what is in the way.
    auto temp_failure = [&](const std::string& dir, const char* pattern, const Result& r) {
        return announced(failure("Temporary file " +
                                 make_temp_path(dir, pattern, platform::process_id()) + ": " +
                                 r.text));
    };
    auto image_failure = [&] { return announced(failure(kNoImageDataText)); };

    announcer.announce("Retrieving Firmware Version");
    FirmwareVersion old_version{};
    if (!commands.query_firmware_version(old_version).ok())
        return announced(failure("The printer is unable to return the current firmware version"));
    announcer.announce("Current Firmware Version : " +
                       std::string(old_version.data(), old_version.size()));

    std::array<std::uint8_t, kImageProbeSize> probe{};
    std::size_t probed = 0;
    if (const int err = image.read_up_to(probe.data(), probe.size(), probed); err != 0)
        return system_failure(err);
    platform::FileInfo info;
    if (const int err = image.info(info); err != 0) return system_failure(err);
    const std::size_t file_size = static_cast<std::size_t>(info.size);

    const ImageRecognition kind = recognise_image(probe);
    if (!kind.announcement.empty()) announcer.announce(kind.announcement);
    if (!kind.ok()) return announced(kind.verdict);
    // The recognition reads zeros past the end of a short file: a boot image
    // must hold the header its checksum covers, and an image with a header
    // must carry data after it.
    const bool too_short =
        (kind.kind == ImageKind::BootImage && file_size < kBootHeaderSize) ||
        (kind.kind == ImageKind::ClearWithHeader && file_size <= kImageHeaderSize);
    if (too_short) return image_failure();

    if (const int err = image.rewind(); err != 0) return system_failure(err);
    const std::optional<std::string> working_dir = platform::current_directory();
    if (!working_dir) return system_failure(errno);
    const std::string& dir = *working_dir;

    const bool zipped =
        kind.kind == ImageKind::ZippedWithoutHeader || kind.kind == ImageKind::ZippedWithHeader;
    // The size command carries 32 bits; a larger file cannot be described.
    if (!zipped && file_size > UINT32_MAX) return system_failure(EFBIG);

    std::optional<ImageHeader> header;
    std::uint64_t image_size = file_size;
    TempFile temp;
    platform::File data;

    if (zipped) {
        if (file_size > kMaxPackedImageSize) return system_failure(EFBIG);
        std::vector<std::uint8_t> packed;
        std::vector<std::uint8_t> unpacked;
        try {
            packed.resize(file_size);
            unpacked.resize(kUnpackBufferSize);
        } catch (const std::bad_alloc&) {
            return system_failure(ENOMEM);
        }
        std::size_t got = 0;
        if (const int err = image.read_up_to(packed.data(), packed.size(), got); err != 0)
            return system_failure(err);
        packed.resize(got);
        // The file was recognised from its first bytes; it may not shrink since.
        if (packed.size() < kind.gzip_offset) return system_failure(EIO);
        if (kind.sends_header) {
            header.emplace();
            std::memcpy(header->data(), packed.data(), kImageHeaderSize);
        }
        const Unpacked unpacked_result =
            gunzip(std::span<const std::uint8_t>(packed).subspan(kind.gzip_offset), unpacked);
        if (!unpacked_result.ok()) {
            // A damaged image must not fail in silence: say what the decoder found.
            for (const std::string& reason : unpacked_result.messages)
                announcer.announce(trim_line_end(reason));
            return failure(trim_line_end(unpacked_result.result.text));
        }
        const std::size_t total = unpacked_result.total;
        if (total == 0) return image_failure();
        if (Result r =
                write_temp_file(dir, kGunzipImagePattern, unpacked.data(), total, temp, data);
            !r.ok())
            return temp_failure(dir, kGunzipImagePattern, r);
        image_size = total;
    } else if (kind.kind == ImageKind::ClearWithHeader) {
        if (file_size < kImageHeaderSize) return system_failure(EIO);
        header.emplace();
        std::vector<std::uint8_t> rest;
        try {
            rest.resize(file_size - kImageHeaderSize);
        } catch (const std::bad_alloc&) {
            return system_failure(ENOMEM);
        }
        std::size_t head = 0;
        if (const int err = image.read_up_to(header->data(), kImageHeaderSize, head); err != 0)
            return system_failure(err);
        if (head != kImageHeaderSize) return system_failure(EIO);
        std::size_t got = 0;
        if (const int err = image.read_up_to(rest.data(), rest.size(), got); err != 0)
            return system_failure(err);
        if (got == 0) return image_failure();
        if (Result r = write_temp_file(dir, kClearImagePattern, rest.data(), got, temp, data);
            !r.ok())
            return temp_failure(dir, kClearImagePattern, r);
        image_size = got;
    }
    DataFile sent = data.is_open() ? DataFile(std::move(data), std::move(temp)) : DataFile(image);
    return commands.download(static_cast<std::uint32_t>(image_size), header ? &*header : nullptr,
                             sent, old_version);
}

}  // namespace fwupdate
