#include "image_update.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Reads until length bytes or the end of the file; -1 with errno on failure.
ssize_t read_fully(int fd, void* buffer, std::size_t length) {
    std::size_t done = 0;
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (done < length) {
        const ssize_t n = ::read(fd, out + done, length - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// The decoder's texts may end in a line feed; a log line ends with its own.
std::string trim_line_end(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    return std::string(text);
}

// A short boot image or an image with a header and nothing after it: what
// the printer would get cannot be firmware.
constexpr const char* kNoImageDataText = "Input Image Bad CRC Code";

class FdCloser {
  public:
    explicit FdCloser(int fd) : fd_(fd) {}
    ~FdCloser() {
        if (fd_ >= 0) ::close(fd_);
    }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// Writes bytes into a new temporary file made from pattern in dir and opens
// it again for reading, making sure the descriptor read is the very file that
// was written (the name lives in a directory others may write to). Returns
// the read descriptor, or -1 with errno set; on failure nothing is left.
int write_temp_file(const std::string& dir, const char* pattern, const std::uint8_t* bytes,
                    std::size_t length, TempFile& temp) {
    int err = temp.create(make_temp_path(dir, pattern, static_cast<long>(::getpid())));
    if (err == 0) err = temp.write_all(bytes, length);
    struct stat written {};
    if (err == 0 && ::fstat(temp.fd(), &written) != 0) err = errno;
    if (err == 0) err = temp.close();
    int fd = -1;
    if (err == 0) {
        fd = ::open(temp.path().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        struct stat opened {};
        if (fd < 0) {
            err = errno;
        } else if (::fstat(fd, &opened) != 0) {
            err = errno;
        } else if (opened.st_dev != written.st_dev || opened.st_ino != written.st_ino) {
            err = EEXIST;
        }
    }
    if (err != 0) {
        if (fd >= 0) ::close(fd);
        temp.remove();
        errno = err;
        return -1;
    }
    return fd;
}

}  // namespace

int update_image(PrinterCommands& commands, const std::string& image_path) {
    const Announcer& announcer = commands.announcer();
    // Without O_NONBLOCK the open of a FIFO waits for a writer for ever.
    const int fd = ::open(image_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        announcer.announce(errno_text(errno));
        return kFailed;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        announcer.announce(errno_text(err));
        return kFailed;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        announcer.announce("Not a regular file: " + image_path);
        return kFailed;
    }
    return update_image(commands, fd);
}

int update_image(PrinterCommands& commands, int fd) {
    const Announcer& announcer = commands.announcer();
    auto system_failure = [&](int err) {
        announcer.announce(errno_text(err));
        return kFailed;
    };
    // A name taken by something else (a directory, another user's file) must
    // be named, or the technician cannot tell what is in the way.
    auto temp_failure = [&](const std::string& dir, const char* pattern, int err) {
        announcer.announce("Temporary file " +
                           make_temp_path(dir, pattern, static_cast<long>(::getpid())) + ": " +
                           errno_text(err));
        return kFailed;
    };
    auto image_failure = [&] {
        announcer.announce(kNoImageDataText);
        return kFailed;
    };
    FdCloser image(fd);
    // Reads from a regular file never wait; the flag only mattered for the open.
    const int flags = ::fcntl(image.get(), F_GETFL);
    if (flags >= 0) ::fcntl(image.get(), F_SETFL, flags & ~O_NONBLOCK);

    announcer.announce("Retrieving Firmware Version");
    FirmwareVersion old_version{};
    if (!commands.query_firmware_version(old_version)) {
        announcer.announce("The printer is unable to return the current firmware version");
        return kFailed;
    }
    announcer.announce("Current Firmware Version : " +
                       std::string(old_version.data(), old_version.size()));

    std::array<std::uint8_t, kImageProbeSize> probe{};
    if (read_fully(image.get(), probe.data(), probe.size()) < 0) return system_failure(errno);
    struct stat st {};
    if (::fstat(image.get(), &st) != 0) return system_failure(errno);
    const std::size_t file_size = static_cast<std::size_t>(st.st_size);

    const ImageRecognition kind = recognise_image(probe);
    if (!kind.announcement.empty()) announcer.announce(kind.announcement);
    if (!kind.ok()) {
        announcer.announce(kind.failure);
        return kFailed;
    }
    // The recognition reads zeros past the end of a short file: a boot image
    // must hold the header its checksum covers, and an image with a header
    // must carry data after it.
    const bool too_short =
        (kind.kind == ImageKind::BootImage && file_size < kBootHeaderSize) ||
        (kind.kind == ImageKind::ClearWithHeader && file_size <= kImageHeaderSize);
    if (too_short) return image_failure();

    if (::lseek(image.get(), 0, SEEK_SET) != 0) return system_failure(errno);
    std::string dir;
    if (!current_directory(dir)) return system_failure(errno);

    const bool zipped =
        kind.kind == ImageKind::ZippedWithoutHeader || kind.kind == ImageKind::ZippedWithHeader;
    // The size command carries 32 bits; a larger file cannot be described.
    if (!zipped && file_size > UINT32_MAX) return system_failure(EFBIG);

    std::optional<ImageHeader> header;
    std::uint64_t image_size = file_size;
    TempFile temp;
    int data_fd = -1;

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
        const ssize_t got = read_fully(image.get(), packed.data(), packed.size());
        if (got < 0) return system_failure(errno);
        packed.resize(static_cast<std::size_t>(got));
        // The file was recognised from its first bytes; it may not shrink since.
        if (packed.size() < kind.gzip_offset) return system_failure(EIO);
        if (kind.sends_header) {
            header.emplace();
            std::memcpy(header->data(), packed.data(), kImageHeaderSize);
        }
        const GunzipResult unpacked_result =
            gunzip(std::span<const std::uint8_t>(packed).subspan(kind.gzip_offset), unpacked);
        if (!unpacked_result.ok()) {
            // A damaged image must not fail in silence: say what the decoder found.
            for (const std::string& reason : unpacked_result.messages)
                announcer.announce(trim_line_end(reason));
            return kFailed;
        }
        const std::size_t total = unpacked_result.total;
        if (total == 0) return image_failure();
        data_fd = write_temp_file(dir, kGunzipImagePattern, unpacked.data(), total, temp);
        if (data_fd < 0) return temp_failure(dir, kGunzipImagePattern, errno);
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
        const ssize_t head = read_fully(image.get(), header->data(), kImageHeaderSize);
        if (head < 0) return system_failure(errno);
        if (head != static_cast<ssize_t>(kImageHeaderSize)) return system_failure(EIO);
        const ssize_t got = read_fully(image.get(), rest.data(), rest.size());
        if (got < 0) return system_failure(errno);
        if (got == 0) return image_failure();
        data_fd = write_temp_file(dir, kClearImagePattern, rest.data(),
                                  static_cast<std::size_t>(got), temp);
        if (data_fd < 0) return temp_failure(dir, kClearImagePattern, errno);
        image_size = static_cast<std::uint64_t>(got);
    }
    DataFile data = data_fd >= 0 ? DataFile(data_fd, std::move(temp)) : DataFile(image.get());
    return commands.download(static_cast<std::uint32_t>(image_size), header ? &*header : nullptr,
                             data, old_version);
}

}  // namespace fwupdate
