#include "kp28setup/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace kp28setup {

namespace {

std::string reason_of(int err) {
    return std::strerror(err);
}

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closes now, for the error a close can report on some file systems.
    int close() {
        const int r = ::close(fd_);
        fd_ = -1;
        return r;
    }

  private:
    int fd_;
};

bool write_all(int fd, const std::uint8_t* p, std::size_t n, int* err) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            *err = w < 0 ? errno : ENOSPC;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> read_whole_file(const std::string& path,
                                                         std::string* reason,
                                                         std::size_t max_size) {
    auto fail = [&](const std::string& why) -> std::optional<std::vector<std::uint8_t>> {
        if (reason) *reason = why;
        return std::nullopt;
    };
    Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) return fail(reason_of(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return fail(reason_of(errno));
    if (S_ISDIR(st.st_mode)) return fail("it is a folder, not a file");
    if (!S_ISREG(st.st_mode))
        return fail("it is not a regular file (a device, a FIFO or a socket)");
    if (static_cast<std::uintmax_t>(st.st_size) > max_size)
        return fail("it holds " + std::to_string(st.st_size) + " bytes, more than the " +
                    std::to_string(max_size) + " such a file can have");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    // A file that grows while it is read is read up to the size it had.
    while (done < bytes.size()) {
        const ssize_t r = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return fail(reason_of(errno));
        if (r == 0) break;
        done += static_cast<std::size_t>(r);
    }
    bytes.resize(done);
    return bytes;
}

bool write_file_whole(const std::string& path, std::span<const std::uint8_t> bytes,
                      std::string* reason) {
    if (path.empty()) {
        if (reason) *reason = "no file name";
        return false;
    }
    const std::filesystem::path target(path);
    const std::filesystem::path folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    const std::string base = target.filename().string();
    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    int err = 0;
    // O_EXCL: a name someone else made (or a link planted there) is never
    // opened; a few tries find a free one.
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = (folder / ("." + base + ".tmp-" + std::to_string(::getpid()) + "-" +
                          std::to_string(counter.fetch_add(1))))
                   .string();
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        if (reason) *reason = reason_of(errno);
        return false;
    }
    Fd file(fd);
    bool ok = write_all(fd, bytes.data(), bytes.size(), &err);
    if (ok && ::fsync(fd) != 0) ok = false, err = errno;
    if (file.close() != 0 && ok) ok = false, err = errno;
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) ok = false, err = errno;
    if (!ok) {
        ::unlink(temp.c_str());
        if (reason) *reason = reason_of(err ? err : EIO);
        return false;
    }
    // The rename is on the disk only once the folder is.
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
    return true;
}

bool write_file_whole(const std::string& path, const std::string& text, std::string* reason) {
    return write_file_whole(path,
                            std::span<const std::uint8_t>(
                                reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                            reason);
}

std::string absolute_path(const std::string& path) {
    std::error_code ec;
    const auto a = std::filesystem::absolute(path, ec);
    return ec ? path : a.lexically_normal().string();
}

}  // namespace kp28setup
