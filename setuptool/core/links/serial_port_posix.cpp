#include "kp28setup/serial_port_posix.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kp28setup {

namespace {

using Clock = std::chrono::steady_clock;

// The one mapping from the system's errors to the port's error numbers.
CommError errno_error(int code, int err, const std::string& what) {
    return CommError(code, what + ": " + std::strerror(err));
}

speed_t speed_constant(unsigned baud) {
    switch (baud) {
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 115200:
            return B115200;
        default:
            return B0;
    }
}

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

PosixSerialPort::PosixSerialPort(NodeResolver resolver) : resolver_(std::move(resolver)) {}

PosixSerialPort::~PosixSerialPort() {
    close();
}

void PosixSerialPort::set_port_number(int n) {
    if (is_open()) throw CommError(kErrPortAlreadyOpen, "port already open");
    number_ = n;
}

void PosixSerialPort::open() {
    if (is_open()) throw CommError(kErrPortAlreadyOpen, "port already open");
    const auto node = number_ > 0 ? resolver_(number_) : std::nullopt;
    if (!node)
        throw CommError(kErrInvalidPortNumber,
                        "invalid port number: no device for COM" + std::to_string(number_));
    const int fd = ::open(node->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    open_errno_ = fd < 0 ? errno : 0;
    if (fd < 0) {
        const int err = open_errno_;
        if (err == ENOENT || err == ENXIO || err == ENODEV)
            throw errno_error(kErrInvalidPortNumber, err, "invalid port number: " + *node);
        if (err == EBUSY) throw errno_error(kErrPortAlreadyOpen, err, *node);
        throw errno_error(kErrPortOpenFailed, err, *node);
    }
    fd_ = fd;
    node_ = *node;
    rx_.clear();
    rx_at_ = 0;
    try {
        apply_settings();
    } catch (...) {
        ::close(fd_);
        fd_ = -1;
        throw;
    }
    serial_icounter_struct ic{};
    have_counts_ = ::ioctl(fd_, TIOCGICOUNT, &ic) == 0;
    if (have_counts_)
        counts_ = {ic.brk, ic.frame, ic.overrun, ic.parity, ic.buf_overrun,
                   ic.cts, ic.dsr,   ic.dcd,     ic.rng};
    int bits = 0;
    lines_ = ::ioctl(fd_, TIOCMGET, &bits) == 0 ? std::optional<int>(bits) : std::nullopt;
}

void PosixSerialPort::close() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
    rx_.clear();
    rx_at_ = 0;
}

void PosixSerialPort::set_settings(std::string_view text) {
    const auto s = parse_settings(text);
    if (!s) throw CommError(kErrInvalidSettings, "invalid settings \"" + std::string(text) + "\"");
    settings_ = *s;
    settings_text_ = std::string(text);
    if (is_open()) apply_settings();
}

void PosixSerialPort::apply_settings() {
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) throw errno_error(kErrPortOpenFailed, errno, node_);
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CRTSCTS | CSTOPB | PARENB | CSIZE);
    t.c_cflag |= CS8;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    // With VMIN 1 an empty non-blocking read says EAGAIN, so a read of 0
    // bytes can only mean the line hung up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    const speed_t sp = speed_constant(settings_.baud);
    ::cfsetispeed(&t, sp);
    ::cfsetospeed(&t, sp);
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) throw errno_error(kErrPortOpenFailed, errno, node_);
}

void PosixSerialPort::check_events() {
    if (fd_ < 0 || !handler_) return;
    std::vector<int> events;
    if (have_counts_) {
        serial_icounter_struct ic{};
        if (::ioctl(fd_, TIOCGICOUNT, &ic) == 0) {
            const Counts now{ic.brk, ic.frame, ic.overrun, ic.parity, ic.buf_overrun,
                             ic.cts, ic.dsr,   ic.dcd,     ic.rng};
            if (now.cts != counts_.cts) events.push_back(kEvCts);
            if (now.dsr != counts_.dsr) events.push_back(kEvDsr);
            if (now.dcd != counts_.dcd) events.push_back(kEvCd);
            if (now.rng != counts_.rng) events.push_back(kEvRing);
            if (now.brk != counts_.brk) events.push_back(kEvBreak);
            if (now.frame != counts_.frame) events.push_back(kEvFrame);
            if (now.overrun != counts_.overrun) events.push_back(kEvOverrun);
            if (now.buf_overrun != counts_.buf_overrun) events.push_back(kEvRxOver);
            if (now.parity != counts_.parity) events.push_back(kEvRxParity);
            counts_ = now;
        }
    } else if (lines_) {
        // Without counters a line change shows only as a different level.
        int bits = 0;
        if (::ioctl(fd_, TIOCMGET, &bits) == 0) {
            const int diff = bits ^ *lines_;
            if (diff & TIOCM_CTS) events.push_back(kEvCts);
            if (diff & TIOCM_DSR) events.push_back(kEvDsr);
            if (diff & TIOCM_CD) events.push_back(kEvCd);
            if ((diff & TIOCM_RI) && !(bits & TIOCM_RI)) events.push_back(kEvRing);
            lines_ = bits;
        }
    }
    for (int e : events) handler_(e);
}

void PosixSerialPort::write(std::span<const std::uint8_t> bytes, std::chrono::milliseconds limit) {
    if (fd_ < 0) throw CommError(kErrPortNotOpen, "port not open");
    const auto deadline = Clock::now() + limit;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno != EAGAIN) throw errno_error(kErrIo, errno, "write to " + node_);
        const int left = remaining_ms(deadline);
        if (left == 0) throw CommError(kErrTimeout, "the line did not take the bytes in time");
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, left) < 0 && errno != EINTR)
            throw errno_error(kErrIo, errno, "poll " + node_);
    }
    check_events();
}

bool PosixSerialPort::fill(int wait_ms) {
    for (;;) {
        std::uint8_t buf[4096];
        const ssize_t r = ::read(fd_, buf, sizeof buf);
        if (r > 0) {
            rx_.assign(buf, buf + r);
            rx_at_ = 0;
            return true;
        }
        if (r < 0 && errno == EINTR) continue;
        // A pseudo-terminal whose other end has gone reads as EIO; a real
        // port that vanished likewise.
        if (r == 0 || errno != EAGAIN)
            throw errno_error(kErrIo, r == 0 ? EIO : errno, "read " + node_);
        if (wait_ms <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        const int n = ::poll(&p, 1, wait_ms);
        if (n < 0 && errno != EINTR) throw errno_error(kErrIo, errno, "poll " + node_);
        if (n == 0) return false;
        if ((p.revents & (POLLHUP | POLLERR)) && !(p.revents & POLLIN))
            throw errno_error(kErrIo, EIO, "read " + node_);
        // One more read after the wake-up, never another wait.
        wait_ms = 0;
    }
}

std::optional<std::uint8_t> PosixSerialPort::read_byte(std::chrono::milliseconds limit) {
    if (fd_ < 0) throw CommError(kErrPortNotOpen, "port not open");
    const auto deadline = Clock::now() + limit;
    while (rx_at_ >= rx_.size()) {
        check_events();
        if (fill(remaining_ms(deadline))) break;
        if (remaining_ms(deadline) == 0) return std::nullopt;
    }
    check_events();
    return rx_[rx_at_++];
}

std::optional<std::uint8_t> PosixSerialPort::read_now() {
    if (fd_ < 0) return std::nullopt;
    check_events();
    if (rx_at_ >= rx_.size() && !fill(0)) return std::nullopt;
    return rx_[rx_at_++];
}

std::optional<bool> PosixSerialPort::cts() {
    int bits = 0;
    if (fd_ < 0 || ::ioctl(fd_, TIOCMGET, &bits) != 0) return std::nullopt;
    return (bits & TIOCM_CTS) != 0;
}

std::optional<bool> PosixSerialPort::dsr() {
    int bits = 0;
    if (fd_ < 0 || ::ioctl(fd_, TIOCMGET, &bits) != 0) return std::nullopt;
    return (bits & TIOCM_DSR) != 0;
}

void PosixSerialPort::discard_output() {
    if (fd_ >= 0) ::tcflush(fd_, TCOFLUSH);
}

bool PosixSerialPort::drain(std::chrono::milliseconds limit) {
    if (fd_ < 0) return true;
    const auto deadline = Clock::now() + limit;
    for (;;) {
        int queued = 0;
        if (::ioctl(fd_, TIOCOUTQ, &queued) != 0) queued = 0;
        if (queued <= 0) {
            // The driver's queue is empty; what is left sits in the
            // transmitter itself and leaves within a few character times.
            ::tcdrain(fd_);
            return true;
        }
        const int left = remaining_ms(deadline);
        if (left == 0) return false;
        // Sleep for about the time the queued bytes take on the line.
        const long per_byte_us = 10'000'000L / static_cast<long>(settings_.baud);
        const long wait = std::max(1L, queued * per_byte_us / 1000);
        ::poll(nullptr, 0, static_cast<int>(std::min<long>(wait, left)));
    }
}

}  // namespace kp28setup
