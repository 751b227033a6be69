#include <fcntl.h>
#include <linux/lp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform.h"

// The usblp driver's soft reset: _IOC(_IOC_NONE, 'P', 7, 0).
#ifndef LPIOC_SOFT_RESET
#define LPIOC_SOFT_RESET _IOC(_IOC_NONE, 'P', 7, 0)
#endif

namespace kp28wrap::platform {

namespace {

int64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

std::shared_ptr<DeviceFile> DeviceFile::open(const std::string& node, int& os_error) {
    os_error = 0;
    const int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        os_error = errno;
        return nullptr;
    }
    const int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
        os_error = errno;
        ::close(fd);
        return nullptr;
    }
    return std::shared_ptr<DeviceFile>(new DeviceFile(fd, wake));
}

const char* os_error_text(int error) {
    // The untranslated description: thread-safe, unlike strerror().
    const char* text = strerrordesc_np(error);
    return text ? text : "Unknown error";
}

DeviceFile::~DeviceFile() {
    close();
    ::close(wake_fd_);
}

void DeviceFile::cancel() {
    cancelled_.store(true);
    // The counter is never read back, so the descriptor stays readable: every
    // later wait on this file ends at once as well.
    const uint64_t one = 1;
    ssize_t r = ::write(wake_fd_, &one, sizeof one);
    (void)r;
}

bool DeviceFile::cancelled() const {
    return cancelled_.load();
}

bool DeviceFile::close() {
    if (fd_ < 0) return true;
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 || errno == EINTR;
}

// 1: the device is ready for `events`; 0: time is up; -1: cancelled.
int DeviceFile::wait_for(short events, int64_t deadline_ms, bool unlimited) {
    for (;;) {
        int timeout = -1;
        if (!unlimited) {
            const int64_t left = deadline_ms - now_ms();
            timeout = left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, 1 << 30));
        }
        pollfd p[2] = {{fd_, events, 0}, {wake_fd_, POLLIN, 0}};
        const int r = ::poll(p, 2, timeout);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (p[1].revents) return -1;
        // Errors and hang-ups count as ready: the next read/write reports them.
        if (p[0].revents) return 1;
        if (r == 0) return 0;
    }
}

IoStatus DeviceFile::read_some(void* buf, size_t len, int wait_ms, size_t& got) {
    got = 0;
    const bool unlimited = wait_ms < 0;
    const int64_t deadline = now_ms() + (unlimited ? 0 : wait_ms);
    for (;;) {
        if (cancelled()) return IoStatus::cancelled;
        const ssize_t n = ::read(fd_, buf, len);
        if (n > 0 || (n == 0 && len == 0)) {
            got = static_cast<size_t>(n);
            return IoStatus::ok;
        }
        // Nothing for a read that asked for something is the end of the file:
        // the other side hung up, and waiting again would return at once.
        if (n == 0) return IoStatus::failed;
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return IoStatus::failed;
        const int w = wait_for(POLLIN, deadline, unlimited);
        if (w < 0) return IoStatus::cancelled;
        if (w == 0) return IoStatus::timed_out;
    }
}

IoStatus DeviceFile::write_all(const void* buf, size_t len, int wait_ms, size_t& put) {
    put = 0;
    const bool unlimited = wait_ms < 0;
    const int64_t deadline = now_ms() + (unlimited ? 0 : wait_ms);
    const char* p = static_cast<const char*>(buf);
    if (cancelled()) return IoStatus::cancelled;
    // A device that takes less than all sleeps in poll() until it has room,
    // as a blocking write would sleep in the kernel: spinning on the full
    // buffer only looks faster on an idle machine, and costs a loaded one
    // the processor that the reading side needs.
    while (put < len) {
        if (cancelled()) return IoStatus::cancelled;
        const ssize_t n = ::write(fd_, p + put, len - put);
        if (n > 0) {
            put += static_cast<size_t>(n);
            if (put == len) break;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno != EAGAIN) {
            return IoStatus::failed;
        }
        const int w = wait_for(POLLOUT, deadline, unlimited);
        if (w < 0) return IoStatus::cancelled;
        if (w == 0) return IoStatus::timed_out;
    }
    return IoStatus::ok;
}

bool DeviceFile::soft_reset() {
    return fd_ >= 0 && ::ioctl(fd_, LPIOC_SOFT_RESET) == 0;
}

bool DeviceFile::port_status(void* out, size_t max, size_t& got) {
    got = 0;
    int status = 0;
    if (fd_ < 0 || ::ioctl(fd_, LPGETSTATUS, &status) != 0) return false;
    // The driver reports one status byte, like the printer class's LPT status.
    const unsigned char byte = static_cast<unsigned char>(status);
    if (max > 0 && out) {
        std::memcpy(out, &byte, 1);
        got = 1;
    }
    return true;
}

}  // namespace kp28wrap::platform
