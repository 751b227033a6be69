// A printer of the test's own making on a serial node of a fake sysroot: a
// thread reads what the tool sends (noting the speed the line was set to),
// hands each byte to the test's handler and sends back what it returns. For
// the cases the virtual printer does not play (odd lengths, a wrong echo).
#pragma once

#include <fcntl.h>
#include <kp28/fake_sysroot.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace setuptest {

class LinePrinter {
  public:
    using Bytes = std::vector<std::uint8_t>;
    using Handler = std::function<Bytes(std::uint8_t byte, unsigned speed)>;

    LinePrinter(kp28::FakeSysroot& root, const std::string& name, Handler h)
        : pty_(root.add_serial_port(name)), handler_(std::move(h)) {
        const int fl = fcntl(pty_.master(), F_GETFL);
        fcntl(pty_.master(), F_SETFL, fl | O_NONBLOCK);
        if (::pipe(stop_) != 0) throw std::runtime_error("pipe");
        worker_ = std::thread([this] { run(); });
    }
    ~LinePrinter() {
        [[maybe_unused]] auto w = ::write(stop_[1], "x", 1);
        worker_.join();
        ::close(stop_[0]);
        ::close(stop_[1]);
    }
    LinePrinter(const LinePrinter&) = delete;
    LinePrinter& operator=(const LinePrinter&) = delete;

    // The printer's side of the line (to pull the cable: hang_up()).
    kp28::PtyEndpoint& pty() { return pty_; }

    // Every byte received with the speed the line had when it was read.
    std::vector<std::pair<unsigned, std::uint8_t>> received() const {
        std::lock_guard lk(m_);
        return received_;
    }

  private:
    unsigned speed() const {
        termios t{};
        if (::tcgetattr(pty_.master(), &t) != 0) return 0;
        switch (cfgetispeed(&t)) {
            case B9600:
                return 9600;
            case B19200:
                return 19200;
            case B115200:
                return 115200;
            default:
                return 0;
        }
    }
    void run() {
        for (;;) {
            pollfd p[2] = {{pty_.master(), POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (::poll(p, 2, 1000) < 0) continue;
            if (p[1].revents) return;
            if (!(p[0].revents & POLLIN)) continue;
            std::uint8_t buf[4096];
            const ssize_t r = ::read(pty_.master(), buf, sizeof buf);
            if (r <= 0) continue;
            const unsigned sp = speed();
            Bytes out;
            {
                std::lock_guard lk(m_);
                for (ssize_t i = 0; i < r; ++i) received_.emplace_back(sp, buf[i]);
            }
            for (ssize_t i = 0; i < r; ++i) {
                Bytes reply = handler_(buf[i], sp);
                out.insert(out.end(), reply.begin(), reply.end());
            }
            std::size_t done = 0;
            while (done < out.size()) {
                const ssize_t w = ::write(pty_.master(), out.data() + done, out.size() - done);
                if (w > 0) {
                    done += static_cast<std::size_t>(w);
                    continue;
                }
                pollfd q[2] = {{pty_.master(), POLLOUT, 0}, {stop_[0], POLLIN, 0}};
                ::poll(q, 2, 1000);
                if (q[1].revents) return;
            }
        }
    }

    kp28::PtyEndpoint& pty_;
    Handler handler_;
    int stop_[2] = {-1, -1};
    mutable std::mutex m_;
    std::vector<std::pair<unsigned, std::uint8_t>> received_;  // guarded by m_
    std::thread worker_;
};

}  // namespace setuptest
