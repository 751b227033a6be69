// The error log's file and the environment watch behind the cached log
// settings.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "platform.h"

namespace kp28wrap::platform {

namespace {

// Enough for every writer that rotated the file under us to have done so; a
// line that still finds the file moving is appended to the one it holds.
constexpr int kMaxReopens = 32;

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void write_fully(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

}  // namespace

void append_log_file(const std::string& name, const std::string& text, long long limit,
                     bool follow_links) {
    const int flags =
        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | (follow_links ? 0 : O_NOFOLLOW);
    bool rotated = false;
    for (int attempt = 0;; ++attempt) {
        const int fd = ::open(name.c_str(), flags, 0666);
        if (fd < 0) return;
        // The lock belongs to the file that name refers to now. Another writer
        // may rotate that file away while this one waits for the lock, so once
        // it is held, name must still lead to the same file; otherwise start
        // again on the file that took its place.
        while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
        struct stat held {};
        struct stat now {};
        if (::fstat(fd, &held) != 0) {
            ::close(fd);
            return;
        }
        const int r = follow_links ? ::stat(name.c_str(), &now) : ::lstat(name.c_str(), &now);
        if ((r != 0 || !same_file(held, now)) && attempt < kMaxReopens) {
            ::close(fd);
            continue;
        }
        // One rotation per line at most, as a lone writer would do it.
        if (!rotated && static_cast<long long>(held.st_size) > limit) {
            const std::string old = name + ".old";
            ::unlink(old.c_str());
            if (::rename(name.c_str(), old.c_str()) == 0) {
                rotated = true;
                ::close(fd);  // the line goes to the fresh file
                continue;
            }
        }
        write_fully(fd, text);
        ::close(fd);
        return;
    }
}

uint64_t environment_fingerprint() {
    // Every change made through the C library replaces an entry's pointer,
    // shifts the entries or moves the array, so the pointers alone tell.
    char** env = environ;
    uint64_t h = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(env));
    size_t n = 0;
    if (env) {
        for (; env[n]; ++n) {
            h ^= static_cast<uint64_t>(reinterpret_cast<uintptr_t>(env[n]));
            h *= 0x9E3779B97F4A7C15ull;
            h ^= h >> 29;
        }
    }
    return h ^ (static_cast<uint64_t>(n) * 0xC2B2AE3D27D4EB4Full);
}

}  // namespace kp28wrap::platform
