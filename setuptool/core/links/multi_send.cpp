#include "kp28setup/multi_send.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

namespace kp28setup {

namespace {

using Clock = std::chrono::steady_clock;

// Waits are cut in slices this long so that a stop is seen soon.
constexpr int kSliceMs = 50;

int ms_until(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

std::string os_text(int e) {
    char buf[128];
    // The GNU strerror_r returns its text, not always in buf.
    return ::strerror_r(e, buf, sizeof buf);
}

bool stop_requested(const StopSource* stop) {
    return stop && stop->requested();
}

// Closes the socket without throwing away what the printer still has to
// read: whatever it sent us is read first, since unread input turns a close
// into a reset, and a reset may discard the printer's unread bytes.
void close_gently(int fd) {
    std::uint8_t sink[256];
    for (int i = 0; i < 64 && ::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
    }
    ::close(fd);
}

class Attempt {
  public:
    Attempt(const HostPort& to, const MultiSendLimits& limits, StopSource* stop)
        : to_(to), limits_(limits), stop_(stop) {}
    ~Attempt() {
        if (fd_ >= 0) close_gently(fd_);
    }
    Attempt(const Attempt&) = delete;
    Attempt& operator=(const Attempt&) = delete;

    PrinterSendResult run(std::span<const std::uint8_t> file) {
        const auto t0 = Clock::now();
        result_.to = to_;
        if (stop_requested(stop_)) {
            result_.reason = "not sent: interrupted";
        } else {
            result_.started = true;
            if (connect()) deliver(file);
        }
        result_.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        return result_;
    }

  private:
    bool fail(std::string why) {
        result_.ok = false;
        result_.reason = std::move(why);
        return false;
    }

    bool connect() {
        TcpClient client;
        const SendResult r =
            client.connect(to_, limits_.connect, {}, [this] { return stop_requested(stop_); });
        if (!r.ok)
            return fail(r.reason == "interrupted while connecting" ? "not sent: " + r.reason
                                                                   : r.reason);
        fd_ = client.release();
        return true;
    }

    // The file in pieces, then our end shut, then the printer's close.
    void deliver(std::span<const std::uint8_t> file) {
        const auto deadline = Clock::now() + limits_.write;
        {
            // The printer is collecting from the first byte on: a stop waits
            // for the last.
            StopSource::Transfer transfer(stop_);
            for (const auto piece : pieces(file))
                if (!write_piece(piece, deadline, file.size())) return;
        }
        if (::shutdown(fd_, SHUT_WR) != 0) {
            fail(os_text(errno) + " after the whole file");
            return;
        }
        await_close(deadline, file.size());
    }

    bool write_piece(std::span<const std::uint8_t> piece, Clock::time_point deadline,
                     std::size_t total) {
        std::size_t done = 0;
        while (done < piece.size()) {
            const ssize_t n = ::send(fd_, piece.data() + done, piece.size() - done, MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                result_.bytes_sent += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                return fail(os_text(errno) + " after " + std::to_string(result_.bytes_sent) +
                            " of " + std::to_string(total) + " bytes");
            const int ms = ms_until(deadline);
            if (ms == 0)
                return fail("the printer took " + std::to_string(result_.bytes_sent) + " of " +
                            std::to_string(total) + " bytes within " +
                            std::to_string(limits_.write.count()) + " ms");
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, ms) < 0 && errno != EINTR) return fail(os_text(errno));
        }
        return true;
    }

    void await_close(Clock::time_point deadline, std::size_t total) {
        std::uint8_t sink[256];
        for (;;) {
            const ssize_t n = ::recv(fd_, sink, sizeof sink, MSG_DONTWAIT);
            if (n == 0) {
                result_.ok = true;
                result_.reason.clear();
                return;
            }
            // What a printer says back is not looked at; one that keeps
            // talking still meets the deadline below.
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                fail(os_text(errno) + " after the whole file (" + std::to_string(total) +
                     " bytes) went out");
                return;
            }
            if (stop_requested(stop_)) {
                fail("interrupted after the whole file went out, before the printer confirmed it");
                return;
            }
            const int ms = ms_until(deadline);
            if (ms == 0) {
                fail(
                    "the whole file went out but the printer did not close the connection "
                    "within " +
                    std::to_string(limits_.write.count()) + " ms");
                return;
            }
            if (n > 0) continue;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, std::min(kSliceMs, ms)) < 0 && errno != EINTR) {
                fail(os_text(errno));
                return;
            }
        }
    }

    HostPort to_;
    MultiSendLimits limits_;
    StopSource* stop_;
    int fd_ = -1;
    PrinterSendResult result_;
};

}  // namespace

PrinterSendResult send_file_to_printer(std::span<const std::uint8_t> file, const HostPort& to,
                                       const MultiSendLimits& limits, StopSource* stop) {
    Attempt a(to, limits, stop);
    return a.run(file);
}

std::vector<PrinterSendResult> send_file_to_printers(std::span<const std::uint8_t> file,
                                                     const std::vector<HostPort>& printers,
                                                     const MultiSendOptions& options) {
    std::vector<PrinterSendResult> results(printers.size());
    std::atomic<std::size_t> next{0};
    std::mutex done_mutex;  // guards done and serialises on_done
    std::size_t done = 0;
    auto worker = [&] {
        for (;;) {
            const std::size_t i = next.fetch_add(1);
            if (i >= printers.size()) return;
            results[i] = send_file_to_printer(file, printers[i], options.limits, options.stop);
            std::lock_guard lk(done_mutex);
            ++done;
            if (options.on_done) options.on_done(results[i], done, printers.size());
        }
    };
    const std::size_t n = std::min(std::max<std::size_t>(1, options.parallel), printers.size());
    std::vector<std::thread> threads;
    threads.reserve(n);
    try {
        for (std::size_t t = 0; t < n; ++t) threads.emplace_back(worker);
    } catch (const std::system_error&) {
        // Fewer threads than asked (a thread limit): those started share the
        // work; with none at all, this thread does it.
        if (threads.empty()) worker();
    }
    for (auto& t : threads) t.join();
    return results;
}

std::string printer_address_text(const HostPort& to) {
    const bool v6 = to.host.find(':') != std::string::npos;
    if (to.port == kPrinterTcpPort) return to.host;
    return (v6 ? "[" + to.host + "]" : to.host) + ":" + std::to_string(to.port);
}

std::string canonical_address(const std::string& host) {
    char out[INET6_ADDRSTRLEN] = {};
    in_addr a4{};
    if (::inet_pton(AF_INET, host.c_str(), &a4) == 1)
        return ::inet_ntop(AF_INET, &a4, out, sizeof out) ? out : "";
    in6_addr a6{};
    if (::inet_pton(AF_INET6, host.c_str(), &a6) == 1)
        return ::inet_ntop(AF_INET6, &a6, out, sizeof out) ? out : "";
    return {};
}

}  // namespace kp28setup
