// Debugger output on Linux: a datagram to the local syslog socket at debug
// level with the ident "kp28wrap", and a copy to the file that the caller
// names (KP28WRAP_DEBUG_OUT). The syslog message is sent by hand rather than
// through openlog(), which would change the ident of the whole host program.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform.h"

namespace kp28wrap::platform {

namespace {

// Constant-initialised and trivially destructible: usable from the load and
// unload steps whatever the order of static construction.
// fd and retry_at are atomics so that the question "does anyone listen?",
// asked before every trace line is formatted, takes no lock; connecting,
// sending and closing happen under mu.
struct SyslogLink {
    std::mutex mu;
    std::atomic<int> fd{-1};
    std::atomic<int64_t> retry_at{0};  // monotonic seconds; no reconnect attempt before it
};
SyslogLink g_syslog;

int64_t now_s() {
    timespec ts{};
    // The coarse clock is read without a system call and is exact enough for
    // a once-a-second retry.
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return ts.tv_sec;
}

// Caller holds g_syslog.mu.
bool syslog_connect() {
    if (g_syslog.fd.load() >= 0) return true;
    if (now_s() < g_syslog.retry_at.load()) return false;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, "/dev/log", sizeof addr.sun_path - 1);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            g_syslog.fd.store(fd);
            return true;
        }
        ::close(fd);
    }
    // No syslog daemon: try again a second later, not at every line.
    g_syslog.retry_at.store(now_s() + 1);
    return false;
}

void syslog_send(const char* line) {
    std::lock_guard<std::mutex> lock(g_syslog.mu);
    if (!syslog_connect()) return;
    // <15> = facility user (1) * 8 + priority debug (7).
    char stamp[32];
    time_t t = time(nullptr);
    tm parts{};
    localtime_r(&t, &parts);
    strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &parts);
    char msg[4400];
    const int n = std::snprintf(msg, sizeof msg, "<15>%s kp28wrap[%d]: %s", stamp,
                                static_cast<int>(::getpid()), line);
    if (n <= 0) return;
    const size_t len = std::min(static_cast<size_t>(n), sizeof msg - 1);
    const int fd = g_syslog.fd.load();
    if (::send(fd, msg, len, MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && errno != EAGAIN) {
        g_syslog.fd.store(-1);
        ::close(fd);
    }
}

void file_send(const char* line, const char* target) {
    if (!target || !*target) return;
    std::string text = line;
    text += '\n';
    // One write() per line with O_APPEND: lines of different threads never mix.
    if (std::strcmp(target, "stderr") == 0) {
        ssize_t r = ::write(STDERR_FILENO, text.data(), text.size());
        (void)r;
        return;
    }
    const int fd = ::open(target, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t r = ::write(fd, text.data(), text.size());
    (void)r;
    ::close(fd);
}

}  // namespace

void debug_output(const char* line, const char* copy_to) {
    syslog_send(line);
    file_send(line, copy_to);
}

bool syslog_available() {
    if (g_syslog.fd.load(std::memory_order_relaxed) >= 0) return true;
    if (now_s() < g_syslog.retry_at.load(std::memory_order_relaxed)) return false;
    std::lock_guard<std::mutex> lock(g_syslog.mu);
    return syslog_connect();
}

void debug_output_shutdown() {
    std::lock_guard<std::mutex> lock(g_syslog.mu);
    const int fd = g_syslog.fd.exchange(-1);
    if (fd >= 0) ::close(fd);
    g_syslog.retry_at.store(0);
}

void* module_base() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&module_base), &info) != 0) return info.dli_fbase;
    return nullptr;
}

}  // namespace kp28wrap::platform
