// A client that speaks raw bytes to the virtual printer, as a tool would:
// opens a node (setting the line speed on serial nodes) or connects to the
// TCP port, writes, and reads with a deadline.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace simtest {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytes_of(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

class RawPort {
  public:
    // A device node; speed 0 leaves the terminal settings alone.
    static RawPort node(const std::string& path, speed_t speed = 0) {
        RawPort p;
        p.fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (p.fd_ < 0) throw std::runtime_error("cannot open " + path);
        if (speed) p.set_speed(speed);
        return p;
    }
    static RawPort tcp(std::uint16_t port, const std::string& address = "127.0.0.1") {
        RawPort p;
        p.fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1)
            throw std::runtime_error("not an IPv4 address: " + address);
        if (::connect(p.fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("cannot connect to " + address + ":" + std::to_string(port));
        return p;
    }
    RawPort(RawPort&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    ~RawPort() {
        if (fd_ >= 0) ::close(fd_);
    }

    // As a serial tool does: raw 8N1 at the speed, set on its end of the line.
    void set_speed(speed_t speed) {
        termios t{};
        if (tcgetattr(fd_, &t) != 0) throw std::runtime_error("tcgetattr");
        cfmakeraw(&t);
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
        if (tcsetattr(fd_, TCSANOW, &t) != 0) throw std::runtime_error("tcsetattr");
    }

    void write_all(const Bytes& b) {
        std::size_t done = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (done < b.size()) {
            const ssize_t w = ::write(fd_, b.data() + done, b.size() - done);
            if (w > 0) {
                done += static_cast<std::size_t>(w);
                continue;
            }
            if (w < 0 && errno != EAGAIN && errno != EINTR)
                throw std::runtime_error("write failed");
            if (std::chrono::steady_clock::now() > deadline)
                throw std::runtime_error("write timed out");
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
    }
    void write_all(const std::string& s) { write_all(bytes_of(s)); }

    // Reads until n bytes arrived or the time is up; returns what came.
    Bytes read_n(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        Bytes out;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            std::uint8_t buf[4096];
            const std::size_t want = std::min(sizeof buf, n - out.size());
            const ssize_t r = ::read(fd_, buf, want);
            if (r > 0)
                out.insert(out.end(), buf, buf + r);
            else if (r == 0)
                break;  // peer closed
            else if (errno != EAGAIN && errno != EINTR)
                break;
        }
        return out;
    }

    int fd() const { return fd_; }

  private:
    RawPort() = default;
    int fd_ = -1;
};

// Frames as the tools write them.
inline Bytes frame(std::initializer_list<std::uint8_t> after_prefix) {
    Bytes b(4 + after_prefix.size());
    b[0] = 0x14, b[1] = 0x14, b[2] = 0x1B, b[3] = 0x14;
    std::copy(after_prefix.begin(), after_prefix.end(), b.begin() + 4);
    return b;
}
inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
inline Bytes le32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

inline const Bytes kNameQuery = frame({0x01, 0x00, 0x01});
inline const Bytes kVersionQuery = frame({0x01, 0x00, 0x02});
inline const Bytes kEnterDll = frame({0x02, 0x00, 0x1C, 0x00});
inline const Bytes kEnterUsbId = frame({0x02, 0x00, 0x1D, 0x00});
inline Bytes ack(std::uint8_t cls, std::uint8_t token) {
    return frame({cls, token});
}

}  // namespace simtest
