#include "kp28setup/senders.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <kp28/access_hint.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace kp28setup {

namespace {

using Clock = std::chrono::steady_clock;

std::string errno_text(int e) {
    char buf[128];
    // Senders run on several threads at once; the GNU strerror_r returns its
    // text, not always in buf.
    return ::strerror_r(e, buf, sizeof buf);
}

// What is left of a deadline, for poll(): at least 0, at most INT_MAX ms.
int remaining_ms(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > 0x7fffffff ? 0x7fffffff : static_cast<int>(left);
}

// Writes every byte to a non-blocking descriptor, waiting in poll() for room
// until the deadline.
SendResult write_all(int fd, std::span<const std::uint8_t> bytes, Clock::time_point deadline,
                     bool socket) {
    std::size_t done = 0;
    int busy_rounds = 0;
    while (done < bytes.size()) {
        const ssize_t n = socket
                              ? ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL)
                              : ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            busy_rounds = 0;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return SendResult::failed(errno_text(errno));
        pollfd p{fd, POLLOUT, 0};
        const int ms = remaining_ms(deadline);
        if (ms == 0)
            return SendResult::failed("timed out with " + std::to_string(bytes.size() - done) +
                                      " of " + std::to_string(bytes.size()) + " bytes unsent");
        // A parallel port driver without poll support reports room at once
        // while the printer is busy; the pause keeps that from spinning.
        if (++busy_rounds > 1) ::usleep(10000);
        const int r = ::poll(&p, 1, ms);
        if (r < 0 && errno != EINTR) return SendResult::failed(errno_text(errno));
        if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(p.revents & POLLOUT)) {
            int err = 0;
            socklen_t len = sizeof err;
            if (socket && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err)
                return SendResult::failed(errno_text(err));
            return SendResult::failed(p.revents & POLLHUP ? "the other side hung up"
                                                          : "the device reported an error");
        }
    }
    return {};
}

// --- the library bound with dlopen ---

#ifndef KP28_LIBDIR_FROM_BINDIR
#define KP28_LIBDIR_FROM_BINDIR "../lib"
#endif

// The library where the install tree puts it, seen from our bin/
// (KP28_LIBDIR_FROM_BINDIR, the run path's own rule), or in lib/ beside bin/
// as in the build tree; else its runtime name for the loader's own search.
// The run path would find it too, but a loader call made through an
// interposed dlopen (as the sanitizers do) is not ours, and the run path is
// then not consulted.
std::string beside_library() {
    constexpr const char* kName = "libkp28wrap.so.1";
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        for (const char* rel : {KP28_LIBDIR_FROM_BINDIR, "../lib"}) {
            const auto p = (self.parent_path() / rel / kName).lexically_normal();
            if (::access(p.c_str(), R_OK) == 0) return p.string();
        }
    }
    return kName;
}

class DlopenUsbLibrary : public UsbLibrary {
  public:
    explicit DlopenUsbLibrary(std::string file) : file_(std::move(file)) {}
    ~DlopenUsbLibrary() override {
        // The library's threads and its printer table live until the process
        // ends; unloading it under a running program gains nothing.
    }

    bool available(std::string* reason) override {
        bind();
        if (!ok_ && reason) *reason = why_;
        return ok_;
    }
    std::int32_t connect(std::int32_t index, std::uint32_t* door) override {
        if (!bind()) return kNotLoaded;
        return connect_(door, index);
    }
    std::int32_t write(std::uint32_t door, std::span<const std::uint8_t> bytes,
                       std::int32_t timeout_ms) override {
        if (!bind()) return kNotLoaded;
        // The library may take less than asked; the rest goes in the next call.
        std::size_t done = 0;
        while (done < bytes.size()) {
            unsigned count = 0;
            const auto rc = write_(door, bytes.data() + done,
                                   static_cast<unsigned>(bytes.size() - done), &count, timeout_ms);
            if (rc != 0) return rc;
            if (count == 0) break;
            done += count;
        }
        return 0;
    }
    std::int32_t disconnect(std::uint32_t door) override {
        if (!bind()) return kNotLoaded;
        std::uint32_t d = door;
        return disconnect_(&d);
    }
    std::int32_t geterrno(std::string* message) override {
        if (!bind()) {
            if (message) *message = why_;
            return kNotLoaded;
        }
        // The buffer starts as filler, as the window prepares it; the library
        // ends its message with a NUL.
        char buf[256];
        std::memset(buf, '*', sizeof buf);
        const auto rc = geterrno_(buf, sizeof buf);
        buf[sizeof buf - 1] = '\0';
        if (message) *message = std::string(buf, ::strnlen(buf, sizeof buf));
        return rc;
    }

  private:
    // The library's "unimplemented function": what a call without the library answers.
    static constexpr std::int32_t kNotLoaded = 1;

    bool bind() {
        std::call_once(once_, [this] {
            const std::string file = file_.empty() ? usb_library_file() : file_;
            void* h = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!h) {
                const char* e = ::dlerror();
                why_ = e ? e : ("cannot load " + file);
                return;
            }
            auto sym = [&](const char* name) {
                void* p = ::dlsym(h, name);
                if (!p && why_.empty()) why_ = file + ": no " + name;
                return p;
            };
            connect_ = reinterpret_cast<ConnectFn>(sym("Kp28wrap_connect"));
            write_ = reinterpret_cast<WriteFn>(sym("Kp28wrap_write"));
            disconnect_ = reinterpret_cast<DisconnectFn>(sym("Kp28wrap_disconnect"));
            geterrno_ = reinterpret_cast<GeterrnoFn>(sym("Kp28wrap_geterrno"));
            ok_ = connect_ && write_ && disconnect_ && geterrno_;
        });
        return ok_;
    }

    using ConnectFn = std::int32_t (*)(std::uint32_t*, int);
    using WriteFn = std::int32_t (*)(std::uint32_t, const void*, unsigned, unsigned*, int);
    using DisconnectFn = std::int32_t (*)(std::uint32_t*);
    using GeterrnoFn = std::int32_t (*)(char*, int);

    std::string file_;
    std::once_flag once_;
    bool ok_ = false;
    std::string why_;
    ConnectFn connect_ = nullptr;
    WriteFn write_ = nullptr;
    DisconnectFn disconnect_ = nullptr;
    GeterrnoFn geterrno_ = nullptr;
};

}  // namespace

std::string setup_file_problem(std::span<const std::uint8_t> bytes) {
    constexpr std::uint8_t kPrefix[] = {0x14, 0x14, 0x1B, 0x14};
    constexpr std::size_t kHead = sizeof kPrefix + 2;
    if (bytes.empty()) return "it is empty, not a setup file";
    for (std::size_t at = 0; at < bytes.size();) {
        const auto rest = bytes.subspan(at);
        const std::string where = at == 0 ? "" : " at byte " + std::to_string(at);
        if (rest.size() < kHead || !std::equal(kPrefix, kPrefix + sizeof kPrefix, rest.begin()))
            return "it is not a setup file: no command frame begins" + where;
        const std::size_t length = rest[4] | (std::size_t{rest[5]} << 8);
        if (length == 0 || rest.size() - kHead < length)
            return "it is not a setup file: the frame" + where + " says " + std::to_string(length) +
                   " bytes follow, the file has " + std::to_string(rest.size() - kHead);
        at += kHead + length;
    }
    return {};
}

std::optional<std::vector<std::uint8_t>> read_setup_file(const std::string& path,
                                                         std::string* reason) {
    auto bytes = read_whole_file(path, reason, kMaxSetupFile);
    if (!bytes) return std::nullopt;
    if (std::string why = setup_file_problem(*bytes); !why.empty()) {
        if (reason) *reason = std::move(why);
        return std::nullopt;
    }
    return bytes;
}

std::vector<std::span<const std::uint8_t>> pieces(std::span<const std::uint8_t> bytes,
                                                  std::size_t piece) {
    std::vector<std::span<const std::uint8_t>> out;
    for (std::size_t at = 0; at < bytes.size(); at += piece)
        out.push_back(bytes.subspan(at, std::min(piece, bytes.size() - at)));
    return out;
}

std::string usb_library_file() {
    const char* env = std::getenv("KP28WRAP_LIBRARY");
    return env && *env ? env : beside_library();
}

std::unique_ptr<UsbLibrary> make_dlopen_usb_library(std::string file) {
    return std::make_unique<DlopenUsbLibrary>(std::move(file));
}

std::optional<HostPort> parse_host_port(const std::string& text, std::uint16_t default_port) {
    HostPort hp;
    std::string port;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos) return std::nullopt;
        hp.host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return std::nullopt;
            port = rest.substr(1);
            if (port.empty()) return std::nullopt;
        }
    } else {
        const auto colon = text.find(':');
        // Two colons or more: an IPv6 address without a port.
        if (colon != std::string::npos && text.find(':', colon + 1) == std::string::npos) {
            hp.host = text.substr(0, colon);
            port = text.substr(colon + 1);
            if (port.empty()) return std::nullopt;
        } else {
            hp.host = text;
        }
    }
    hp.port = default_port;
    if (!port.empty()) {
        unsigned v = 0;
        const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), v);
        if (ec != std::errc() || end != port.data() + port.size() || v == 0 || v > 65535)
            return std::nullopt;
        hp.port = static_cast<std::uint16_t>(v);
    }
    return hp;
}

// --- TCP ---

TcpClient::~TcpClient() {
    close();
}

void TcpClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

SendResult TcpClient::connect(const HostPort& to, std::chrono::milliseconds limit,
                              const std::function<void()>& idle,
                              const std::function<bool()>& cancelled) {
    close();
    const auto deadline = Clock::now() + limit;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // An address as typed, never a name to look up: the prompt asks for an address.
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* res = nullptr;
    const std::string port = std::to_string(to.port);
    const int gai = ::getaddrinfo(to.host.c_str(), port.c_str(), &hints, &res);
    if (gai != 0) return SendResult::failed(to.host + ": " + ::gai_strerror(gai));
    const int fd =
        ::socket(res->ai_family, res->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, res->ai_protocol);
    if (fd < 0) {
        const int e = errno;
        ::freeaddrinfo(res);
        return SendResult::failed(errno_text(e));
    }
    const int rc = ::connect(fd, res->ai_addr, res->ai_addrlen);
    const int connect_errno = errno;
    ::freeaddrinfo(res);
    if (rc != 0 && connect_errno != EINPROGRESS) {
        ::close(fd);
        return SendResult::failed(errno_text(connect_errno));
    }
    // The window keeps processing events while the connection is made, so
    // the wait goes in short slices.
    constexpr int kSliceMs = 50;
    while (rc != 0) {
        pollfd p{fd, POLLOUT, 0};
        const int ms = std::min(kSliceMs, remaining_ms(deadline));
        const int r = ::poll(&p, 1, ms);
        if (r < 0 && errno != EINTR) {
            const int e = errno;
            ::close(fd);
            return SendResult::failed(errno_text(e));
        }
        if (r > 0) {
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err) {
                ::close(fd);
                return SendResult::failed(errno_text(err));
            }
            break;
        }
        if (idle) idle();
        if (cancelled && cancelled()) {
            ::close(fd);
            return SendResult::failed("interrupted while connecting");
        }
        if (remaining_ms(deadline) == 0) {
            ::close(fd);
            return SendResult::failed("no connection within " + std::to_string(limit.count()) +
                                      " ms");
        }
    }
    fd_ = fd;
    return {};
}

SendResult TcpClient::send_all(std::span<const std::uint8_t> bytes,
                               std::chrono::milliseconds limit) {
    if (fd_ < 0) return SendResult::failed("not connected");
    return write_all(fd_, bytes, Clock::now() + limit, true);
}

// --- parallel port ---

SendResult write_to_node(const std::string& node, std::span<const std::uint8_t> bytes,
                         std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    const int fd = ::open(node.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        const std::string hint = kp28::permission_hint(e);
        return SendResult::failed(errno_text(e) + (hint.empty() ? "" : "\n" + hint));
    }
    SendResult r = write_all(fd, bytes, deadline, false);
    if (::close(fd) != 0 && r.ok && errno != EINTR) r = SendResult::failed(errno_text(errno));
    return r;
}

}  // namespace kp28setup
