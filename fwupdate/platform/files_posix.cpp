// Files: descriptors, never stdio, so that the flags that keep a planted link
// or a FIFO from fooling the updater can be given.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "platform.h"

namespace fwupdate::platform {

File::~File() {
    close();
}

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

int File::open_for_reading(const std::string& path, bool follow_links, File& file) {
    file.close();
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (follow_links ? 0 : O_NOFOLLOW);
    const int fd = ::open(path.c_str(), flags);
    if (fd < 0) return errno;
    // Reads from a regular file never wait; the flag only mattered for the open.
    const int now = ::fcntl(fd, F_GETFL);
    if (now >= 0) ::fcntl(fd, F_SETFL, now & ~O_NONBLOCK);
    file.fd_ = fd;
    return 0;
}

int File::create_new(const std::string& path, File& file) {
    file.close();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          S_IRUSR | S_IWUSR);
    if (fd < 0) return errno;
    file.fd_ = fd;
    return 0;
}

int File::info(FileInfo& out) const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return errno;
    out.regular = S_ISREG(st.st_mode);
    out.size = static_cast<std::uint64_t>(st.st_size);
    out.id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    return 0;
}

int File::read_up_to(void* buffer, std::size_t length, std::size_t& got) {
    got = 0;
    auto* out = static_cast<unsigned char*>(buffer);
    while (got < length) {
        const ssize_t n = ::read(fd_, out + got, length - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return 0;
}

int File::write_all(const void* data, std::size_t length) {
    if (fd_ < 0) return EBADF;
    const auto* p = static_cast<const unsigned char*>(data);
    while (length > 0) {
        const ssize_t n = ::write(fd_, p, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return 0;
}

int File::rewind() {
    return ::lseek(fd_, 0, SEEK_SET) == 0 ? 0 : errno;
}

int File::close() {
    if (fd_ < 0) return 0;
    // After close() the descriptor is gone even when it reports an error, so
    // it is never retried.
    return ::close(std::exchange(fd_, -1)) == 0 ? 0 : errno;
}

int remove_file(const std::string& path) {
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

}  // namespace fwupdate::platform
