#include "temp_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

namespace fwupdate {

std::string make_temp_path(std::string_view dir, std::string_view pattern, long pid) {
    std::string path(dir);
    if (path.empty() || path.back() != '/') path += '/';
    const std::size_t mark = pattern.find("%d");
    if (mark == std::string_view::npos) {
        path += pattern;
    } else {
        path += pattern.substr(0, mark);
        path += std::to_string(pid);
        path += pattern.substr(mark + 2);
    }
    return path;
}

bool current_directory(std::string& dir) {
    std::vector<char> buffer(PATH_MAX);
    // A path longer than PATH_MAX is possible; grow a few times, then give up.
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
            dir = buffer.data();
            return true;
        }
        if (errno != ERANGE) return false;
        buffer.resize(buffer.size() * 4);
    }
    return false;
}

std::string errno_text(int err) {
    char buffer[256];
    // The GNU strerror_r returns the message, which need not be in buffer.
    return ::strerror_r(err, buffer, sizeof buffer);
}

TempFile::~TempFile() {
    remove();
}

TempFile::TempFile(TempFile&& other) noexcept
    : path_(std::exchange(other.path_, {})),
      fd_(std::exchange(other.fd_, -1)),
      dev_(other.dev_),
      ino_(other.ino_) {}

TempFile& TempFile::operator=(TempFile&& other) noexcept {
    if (this != &other) {
        remove();
        path_ = std::exchange(other.path_, {});
        fd_ = std::exchange(other.fd_, -1);
        dev_ = other.dev_;
        ino_ = other.ino_;
    }
    return *this;
}

int TempFile::create(std::string path) {
    remove();
    // unlink() removes a link itself, never what it points to. When the old
    // entry cannot be removed (someone else's file in a sticky directory), the
    // exclusive create below fails and that reason is the one worth reporting.
    int unlink_error = 0;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) unlink_error = errno;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          S_IRUSR | S_IWUSR);
    if (fd < 0) {
        const int err = errno;
        return err == EEXIST && unlink_error != 0 ? unlink_error : err;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        ::unlink(path.c_str());
        return err;
    }
    path_ = std::move(path);
    fd_ = fd;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    return 0;
}

int TempFile::open_for_reading(int& fd) const {
    fd = -1;
    if (path_.empty()) return ENOENT;
    // Non-blocking, so that a FIFO put in its place cannot hold the open.
    const int r = ::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (r < 0) return errno == ELOOP ? kTempFileReplaced : errno;  // a link was put in its place
    struct stat st {};
    if (::fstat(r, &st) != 0) {
        const int err = errno;
        ::close(r);
        return err;
    }
    if (st.st_dev != dev_ || st.st_ino != ino_) {
        ::close(r);
        return kTempFileReplaced;
    }
    fd = r;
    return 0;
}

int TempFile::write_all(const void* data, std::size_t size) {
    if (fd_ < 0) return EBADF;
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd_, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

int TempFile::close() {
    if (fd_ < 0) return 0;
    const int fd = std::exchange(fd_, -1);
    // After close() the descriptor is gone even when it reports an error, so
    // it is never retried.
    return ::close(fd) == 0 ? 0 : errno;
}

void TempFile::remove() {
    close();
    if (!path_.empty()) {
        ::unlink(path_.c_str());
        path_.clear();
    }
}

std::string TempFile::release() {
    close();
    return std::exchange(path_, {});
}

}  // namespace fwupdate
