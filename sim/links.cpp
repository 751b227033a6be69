// The virtual printer's links. One worker thread owns every link: it waits in
// poll() on the pseudo-terminal masters, the TCP listener and its connections
// and a wake-up eventfd, with a time-out taken from the next timer (the end of
// a restart, line-rate pacing). What arrives is recorded, handed to the
// dialogue engine of the printer's mode under the printer's lock and answered
// through a per-link output queue, so a slow or absent reader never blocks the
// printer. Restarts, the cut and stall faults, pacing and garbage replies are
// matters of the links; what the printer answers is the engines' (engine.h).
#include <arpa/inet.h>
#include <fcntl.h>
#include <kp28/protocol/frame.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <limits>
#include <list>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "kp28sim/engine.h"
#include "kp28sim/virtual_printer.h"
#include "transcript.h"

namespace kp28sim {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr unsigned kNormalSpeed = 9600;
constexpr unsigned kSetupSpeed = 19200;
constexpr std::size_t kReadChunk = 4096;

[[noreturn]] void throw_errno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

unsigned speed_value(speed_t s) {
    switch (s) {
        case B50:
            return 50;
        case B75:
            return 75;
        case B110:
            return 110;
        case B134:
            return 134;
        case B150:
            return 150;
        case B200:
            return 200;
        case B300:
            return 300;
        case B600:
            return 600;
        case B1200:
            return 1200;
        case B1800:
            return 1800;
        case B2400:
            return 2400;
        case B4800:
            return 4800;
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        case B230400:
            return 230400;
        default:
            return 0;
    }
}

struct Link {
    LinkKind kind = LinkKind::Usb;
    std::string name;
    int fd = -1;
    bool owned = false;  // TCP connections; pty masters belong to the sysroot
    std::string slave_path;
    bool failed = false;  // an unexpected read error: no longer polled

    NormalEngine::Channel normal;  // what each dialogue has half read here
    SetupEngine::Channel setup;
    std::deque<std::uint8_t> out;  // answers not yet written

    Clock::time_point rx_at{}, tx_at{};  // line-rate pacing: earliest next transfer
};

}  // namespace

struct VirtualPrinter::Impl {
    Impl(kp28::FakeSysroot& s, const PrinterConfig& c) : sysroot(s), cfg(c), st(c) {}

    kp28::FakeSysroot& sysroot;
    const PrinterConfig& cfg;

    // Fixed after start().
    std::string usb_node, serial_node, parallel_node;
    std::string usb_slave;  // the pseudo-terminal behind usb_node
    std::uint16_t tcp_port = 0;
    int listen_fd = -1;
    int wake_fd = -1;
    int master_of_serial = -1;
    Clock::time_point t0;
    std::thread worker;
    std::atomic<bool> stopping{false};
    bool started = false;

    // Worker-owned.
    std::list<Link> links;
    int tcp_count = 0;
    std::uint32_t garbage_state = 0x2545F491u;

    // Guarded by m (lock order: m before wait_m; neither is held while
    // calling out: on_event runs after m is released).
    mutable std::mutex m;
    PrinterState st;  // the printer itself, as the dialogues see it
    NormalEngine normal_engine{st};
    SetupEngine setup_engine{st};
    bool cut = false;
    std::size_t cut_count = 0;
    std::size_t stall_count = 0;  // bytes read from the USB node since stall_after_bytes was set
    bool away = false;
    std::optional<Clock::time_point> back_at;  // nullopt while away: never
    bool back_in_setup = false;
    int restarts = 0;
    TranscriptLog transcript;
    std::vector<std::string> events, pending_events;
    // Requests from other threads, carried out by the worker.
    std::optional<bool> power_request;  // value: into setup mode
    bool faults_changed = false;

    // Change counter for wait_until.
    mutable std::mutex wait_m;
    mutable std::condition_variable wait_cv;
    std::uint64_t changes = 0;

    void changed() {
        {
            std::lock_guard lk(wait_m);
            ++changes;
        }
        wait_cv.notify_all();
    }
    void wake() {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto r = ::write(wake_fd, &one, sizeof one);
    }

    // --- everything below runs on the worker, with m held unless noted ---

    void event(const std::string& text) {
        if (cfg.keep_transcript) events.push_back(text);
        pending_events.push_back(text);
    }
    void record(Link& l, Direction d, const std::uint8_t* p, std::size_t n, unsigned speed) {
        TranscriptEntry e;
        e.when = Clock::now();
        e.seconds = std::chrono::duration<double>(e.when - t0).count();
        e.kind = l.kind;
        e.link = l.name;
        e.direction = d;
        e.speed = speed;
        e.bytes.assign(p, p + n);
        transcript.record(std::move(e));
    }

    unsigned line_speed(const Link& l) const {
        if (l.kind != LinkKind::Serial) return 0;
        termios tio{};
        // The master shows the settings that the other side made on the slave.
        if (tcgetattr(l.fd, &tio) != 0) return 0;
        return speed_value(cfgetispeed(&tio));
    }
    double pace_rate(const Link& l) const {
        if (l.kind == LinkKind::Tcp)
            return st.faults.tcp_bytes_per_second
                       ? static_cast<double>(*st.faults.tcp_bytes_per_second)
                       : 0;
        if (!st.faults.pace_line_rate || l.kind != LinkKind::Serial) return 0;
        return line_speed(l) / 10.0;
    }

    void send(Link& l, std::vector<std::uint8_t> bytes) {
        if (st.faults.garbage) {
            for (auto& b : bytes) {
                garbage_state ^= garbage_state << 13;
                garbage_state ^= garbage_state >> 17;
                garbage_state ^= garbage_state << 5;
                b = static_cast<std::uint8_t>(garbage_state);
            }
            if (!bytes.empty() && bytes[0] == kp28::kFramePrefix[0]) bytes[0] = 0x55;
        }
        l.out.insert(l.out.end(), bytes.begin(), bytes.end());
    }
    void reset_parsers() {
        for (auto& l : links) {
            l.normal.reset();
            l.setup.reset();
            l.out.clear();
        }
    }
    // The connections are shut down now and dropped by the loop, which may be
    // iterating over them.
    void close_tcp_connections() {
        for (auto& l : links)
            if (l.kind == LinkKind::Tcp && !l.failed) {
                ::shutdown(l.fd, SHUT_RDWR);
                l.failed = true;
            }
    }
    // Replies the printer wrote but nobody read are gone after a restart.
    void flush_pty_buffers() {
        for (auto& l : links) {
            if (l.slave_path.empty()) continue;
            int s = ::open(l.slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (s >= 0) {
                tcflush(s, TCIFLUSH);
                ::close(s);
            }
        }
    }
    // The node is a symbolic link to the pseudo-terminal; it is taken away and
    // put back here rather than through the sysroot object, whose bookkeeping
    // belongs to the thread that builds the tree (other printers may be added
    // to it while this one restarts).
    void set_usb_present(bool present) {
        if (usb_node.empty()) return;
        std::error_code ec;
        const bool there = std::filesystem::is_symlink(usb_node, ec);
        if (present && !there) {
            std::filesystem::create_symlink(usb_slave, usb_node, ec);
            event("USB node " + usb_node + " plugged in");
        } else if (!present && there) {
            std::filesystem::remove(usb_node, ec);
            event("USB node " + usb_node + " removed");
        }
    }

    void restart(bool into_setup, const std::string& why, bool may_stay_away) {
        away = true;
        back_in_setup = into_setup;
        st.session = PrinterState::Session::None;
        st.token = 0;
        st.size_known = false;
        reset_parsers();
        close_tcp_connections();
        flush_pty_buffers();
        set_usb_present(false);
        if (may_stay_away && st.faults.never_comes_back) {
            back_at.reset();
            event(why + ": restarting, not coming back");
        } else {
            const milliseconds down = st.faults.comeback_after.value_or(cfg.reboot_downtime);
            back_at = Clock::now() + down;
            event(why + ": restarting, back in " + std::to_string(down.count()) + " ms");
        }
    }
    void come_back() {
        away = false;
        back_at.reset();
        st.setup_mode = back_in_setup;
        ++restarts;
        flush_pty_buffers();
        if (!cut) set_usb_present(true);
        event(std::string("back up in ") + (st.setup_mode ? "setup mode" : "normal mode") +
              ", firmware " + st.version);
    }

    void cut_links() {
        cut = true;
        reset_parsers();
        close_tcp_connections();
        set_usb_present(false);
        event("link cut after " + std::to_string(cut_count) + " bytes");
    }
    // How many of n bytes may still cross before the cut; cuts when reached.
    std::size_t cut_allowance(std::size_t n) {
        if (!st.faults.cut_after_bytes || cut) return n;
        const std::size_t limit = *st.faults.cut_after_bytes;
        const std::size_t left = limit > cut_count ? limit - cut_count : 0;
        const std::size_t k = std::min(n, left);
        cut_count += k;
        return k;
    }

    // How many more bytes the USB node may give before the printer stops
    // reading it (the most a size can hold when it does not stall).
    std::size_t stall_allowance(const Link& l) const {
        if (!st.faults.stall_after_bytes || l.kind != LinkKind::Usb)
            return std::numeric_limits<std::size_t>::max();
        const std::size_t limit = *st.faults.stall_after_bytes;
        return limit > stall_count ? limit - stall_count : 0;
    }

    // --- input ---

    void on_input(Link& l, const std::uint8_t* p, std::size_t n) {
        const unsigned speed = line_speed(l);
        record(l, Direction::ToPrinter, p, n, speed);
        if (cut) return;
        std::size_t k = cut_allowance(n);
        if (!away && !st.faults.silent) {
            EngineOutput out;
            const std::span<const std::uint8_t> bytes(p, k);
            if (st.setup_mode) {
                if (l.kind == LinkKind::Serial && speed == kSetupSpeed)
                    setup_engine.input(l.setup, bytes, out);
            } else if (l.kind != LinkKind::Serial || speed == kNormalSpeed) {
                normal_engine.input(l.normal, bytes, out);
            }
            carry_out(l, std::move(out));
        }
        if (st.faults.cut_after_bytes && cut_count >= *st.faults.cut_after_bytes) cut_links();
    }

    // Replies go back on the link they answer; a restart takes the printer
    // away after them (and drops whatever nobody has read yet).
    void carry_out(Link& l, EngineOutput out) {
        for (auto& r : out.replies) send(l, std::move(r));
        for (auto& e : out.events) event(e);
        if (out.restart) restart(false, out.restart->why, true);
    }

    // --- the loop ---

    void apply_requests() {
        if (faults_changed) {
            faults_changed = false;
            if (!st.faults.cut_after_bytes && cut) {
                cut = false;
                if (!away) set_usb_present(true);
                event("link restored");
            }
        }
        if (power_request) {
            const bool setup = *power_request;
            power_request.reset();
            restart(setup, setup ? "power on with ON_LINE held" : "power cycle", false);
        }
        if (away && back_at && Clock::now() >= *back_at) come_back();
    }

    void write_out(Link& l) {
        if (l.out.empty()) return;
        std::size_t n = l.out.size();
        const double rate = pace_rate(l);
        if (rate > 0)
            n = std::min<std::size_t>(
                n, std::max<std::size_t>(1, static_cast<std::size_t>(rate / 50)));
        n = std::min(n, kReadChunk);
        std::vector<std::uint8_t> buf(l.out.begin(),
                                      l.out.begin() + static_cast<std::ptrdiff_t>(n));
        const std::size_t allowed = cut_allowance(n);
        ssize_t w = 0;
        if (allowed > 0) {
            w = l.kind == LinkKind::Tcp
                    ? ::send(l.fd, buf.data(), allowed, MSG_NOSIGNAL | MSG_DONTWAIT)
                    : ::write(l.fd, buf.data(), allowed);
            if (w < 0) {
                if (st.faults.cut_after_bytes) cut_count -= allowed;
                if (errno != EAGAIN && errno != EINTR) l.failed = l.kind == LinkKind::Tcp;
                return;
            }
            if (st.faults.cut_after_bytes) cut_count -= allowed - static_cast<std::size_t>(w);
            record(l, Direction::FromPrinter, buf.data(), static_cast<std::size_t>(w),
                   line_speed(l));
            l.out.erase(l.out.begin(), l.out.begin() + w);
        }
        if (rate > 0 && w > 0)
            l.tx_at =
                Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(static_cast<double>(w) / rate));
        if (st.faults.cut_after_bytes && cut_count >= *st.faults.cut_after_bytes) cut_links();
    }

    void read_in(Link& l) {
        std::size_t want = kReadChunk;
        const double rate = pace_rate(l);
        if (rate > 0) want = std::max<std::size_t>(1, static_cast<std::size_t>(rate / 50));
        want = std::min(want, stall_allowance(l));
        if (want == 0) return;
        std::uint8_t buf[kReadChunk];
        const ssize_t r = ::read(l.fd, buf, want);
        if (r > 0) {
            if (st.faults.stall_after_bytes && l.kind == LinkKind::Usb)
                stall_count += static_cast<std::size_t>(r);
            on_input(l, buf, static_cast<std::size_t>(r));
            if (rate > 0)
                l.rx_at = Clock::now() +
                          std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(static_cast<double>(r) / rate));
        } else if (r == 0) {
            l.failed = true;  // TCP peer closed
        } else if (errno != EAGAIN && errno != EINTR) {
            l.failed = true;
        }
    }

    void accept_connections() {
        for (int i = 0; i < 16; ++i) {
            const int c = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (c < 0) return;
            if (away || cut) {
                ::close(c);  // the printer's network is down
                continue;
            }
            Link l;
            l.kind = LinkKind::Tcp;
            l.name = "tcp:" + std::to_string(++tcp_count);
            l.fd = c;
            l.owned = true;
            links.push_back(std::move(l));
            event("accepted " + links.back().name);
        }
    }

    void run() {
        std::vector<pollfd> pfds;
        std::vector<Link*> owners;
        while (!stopping.load()) {
            std::vector<std::string> to_announce;
            int timeout_ms = -1;
            {
                std::lock_guard lk(m);
                apply_requests();
                // Drop TCP connections that ended.
                for (auto it = links.begin(); it != links.end();) {
                    if (it->kind == LinkKind::Tcp && it->failed) {
                        event("closed " + it->name);
                        ::close(it->fd);
                        it = links.erase(it);
                    } else {
                        ++it;
                    }
                }
                pfds.clear();
                owners.clear();
                pfds.push_back({wake_fd, POLLIN, 0});
                owners.push_back(nullptr);
                if (listen_fd >= 0) {
                    pfds.push_back({listen_fd, POLLIN, 0});
                    owners.push_back(nullptr);
                }
                const auto now = Clock::now();
                auto next = Clock::time_point::max();
                if (away && back_at) next = std::min(next, *back_at);
                for (auto& l : links) {
                    if (l.failed) continue;
                    short ev = 0;
                    const bool stalled = stall_allowance(l) == 0;
                    // A stalled node is left unread: the writer's side fills up.
                    if (!stalled) {
                        if (l.rx_at <= now)
                            ev |= POLLIN;
                        else
                            next = std::min(next, l.rx_at);
                    }
                    if (!l.out.empty()) {
                        if (l.tx_at <= now)
                            ev |= POLLOUT;
                        else
                            next = std::min(next, l.tx_at);
                    }
                    // Nothing asked of a stalled node: leave it out, so that a
                    // hang-up on it cannot turn the wait into a busy loop.
                    if (stalled && ev == 0) continue;
                    pfds.push_back({l.fd, ev, 0});
                    owners.push_back(&l);
                }
                if (next != Clock::time_point::max()) {
                    const auto d = std::chrono::ceil<milliseconds>(next - now).count();
                    timeout_ms = static_cast<int>(std::clamp<long long>(d, 0, 60000));
                }
                to_announce.swap(pending_events);
            }
            if (!to_announce.empty()) {
                if (cfg.on_event)
                    for (auto& e : to_announce) cfg.on_event(e);
                changed();
            }
            const int n = ::poll(pfds.data(), pfds.size(), timeout_ms);
            if (n < 0 && errno != EINTR) break;
            if (n <= 0) continue;
            std::lock_guard lk(m);
            if (pfds[0].revents & POLLIN) {
                std::uint64_t v;
                [[maybe_unused]] auto r = ::read(wake_fd, &v, sizeof v);
            }
            for (std::size_t i = 1; i < pfds.size(); ++i) {
                if (!pfds[i].revents) continue;
                Link* l = owners[i];
                if (!l) {
                    accept_connections();
                    continue;
                }
                if (!l->failed && (pfds[i].revents & (POLLIN | POLLHUP | POLLERR))) read_in(*l);
                if (!l->failed && (pfds[i].revents & POLLOUT)) write_out(*l);
            }
            changed();
        }
    }
};

VirtualPrinter::VirtualPrinter(kp28::FakeSysroot& sysroot, PrinterConfig config)
    : config_(complete_config(std::move(config))),
      impl_(std::make_unique<Impl>(sysroot, config_)) {}

VirtualPrinter::~VirtualPrinter() {
    stop();
    auto& s = *impl_;
    if (s.listen_fd >= 0) ::close(s.listen_fd);
    if (s.wake_fd >= 0) ::close(s.wake_fd);
}

void VirtualPrinter::start() {
    auto& s = *impl_;
    if (s.started) return;
    if (s.stopping.load()) throw std::logic_error("a stopped virtual printer does not start again");
    const auto& c = config_;
    s.wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (s.wake_fd < 0) throw_errno("eventfd");
    s.transcript.keep_in_memory(c.keep_transcript);
    if (!c.transcript_file.empty() && !s.transcript.open_file(c.transcript_file))
        throw_errno("cannot open " + c.transcript_file);
    auto add_pty = [&](LinkKind kind, const std::string& name, kp28::PtyEndpoint& pty) {
        const int fl = fcntl(pty.master(), F_GETFL);
        if (fl < 0 || fcntl(pty.master(), F_SETFL, fl | O_NONBLOCK) < 0) throw_errno("fcntl");
        Link l;
        l.kind = kind;
        l.name = name;
        l.fd = pty.master();
        l.slave_path = pty.slave_path();
        s.links.push_back(std::move(l));
    };
    if (c.usb_lp) {
        auto& pty = s.sysroot.add_usb_printer(*c.usb_lp, c.usb_identity);
        s.usb_node = s.sysroot.usb_node(*c.usb_lp);
        s.usb_slave = pty.slave_path();
        add_pty(LinkKind::Usb, "usb:lp" + std::to_string(*c.usb_lp), pty);
    }
    if (c.serial) {
        auto& pty = s.sysroot.add_serial_port(*c.serial, c.serial_cdc_acm);
        s.serial_node = s.sysroot.serial_node(*c.serial);
        // A real port starts at the printer's normal speed until a tool sets one.
        termios tio{};
        int sl = ::open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (sl >= 0) {
            if (tcgetattr(sl, &tio) == 0) {
                cfsetispeed(&tio, B9600);
                cfsetospeed(&tio, B9600);
                tcsetattr(sl, TCSANOW, &tio);
            }
            ::close(sl);
        }
        add_pty(LinkKind::Serial, "serial:" + *c.serial, pty);
    }
    if (c.parallel_lp) {
        auto& pty = s.sysroot.add_parallel_port(*c.parallel_lp);
        s.parallel_node = s.sysroot.parallel_node(*c.parallel_lp);
        add_pty(LinkKind::Parallel, "parallel:lp" + std::to_string(*c.parallel_lp), pty);
    }
    if (c.tcp_port) {
        s.listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (s.listen_fd < 0) throw_errno("socket");
        const int one = 1;
        setsockopt(s.listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(*c.tcp_port);
        // The printer lives on this machine only: loopback or nothing.
        if (inet_pton(AF_INET, c.tcp_address.c_str(), &a.sin_addr) != 1 ||
            (ntohl(a.sin_addr.s_addr) >> 24) != 127)
            throw std::invalid_argument("the TCP address must be an IPv4 loopback address, not \"" +
                                        c.tcp_address + "\"");
        if (::bind(s.listen_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw_errno("bind " + c.tcp_address + ":" + std::to_string(*c.tcp_port));
        if (::listen(s.listen_fd, 8) != 0) throw_errno("listen");
        socklen_t al = sizeof a;
        getsockname(s.listen_fd, reinterpret_cast<sockaddr*>(&a), &al);
        s.tcp_port = ntohs(a.sin_port);
    }
    s.t0 = Clock::now();
    {
        std::lock_guard lk(s.m);
        s.event(std::string(kp28::model_name(c.model)) + " \"" + s.st.name + "\" firmware " +
                s.st.version + " powered on in " +
                (s.st.setup_mode ? "setup mode" : "normal mode"));
    }
    s.started = true;
    s.worker = std::thread([&s] { s.run(); });
}

void VirtualPrinter::stop() {
    auto& s = *impl_;
    if (!s.started) return;
    s.stopping.store(true);
    s.wake();
    if (s.worker.joinable()) s.worker.join();
    for (auto& l : s.links)
        if (l.owned) ::close(l.fd);
    s.links.clear();
    s.started = false;
}

std::string VirtualPrinter::usb_node() const {
    return impl_->usb_node;
}
std::string VirtualPrinter::serial_node() const {
    return impl_->serial_node;
}
std::string VirtualPrinter::parallel_node() const {
    return impl_->parallel_node;
}
std::uint16_t VirtualPrinter::tcp_port() const {
    return impl_->tcp_port;
}

void VirtualPrinter::enter_setup_mode() {
    {
        std::lock_guard lk(impl_->m);
        impl_->power_request = true;
    }
    impl_->wake();
}

void VirtualPrinter::power_cycle() {
    {
        std::lock_guard lk(impl_->m);
        impl_->power_request = false;
    }
    impl_->wake();
}

void VirtualPrinter::set_faults(const Faults& faults) {
    {
        std::lock_guard lk(impl_->m);
        auto& now = impl_->st.faults;
        if (faults.cut_after_bytes != now.cut_after_bytes) impl_->cut_count = 0;
        if (faults.stall_after_bytes != now.stall_after_bytes) impl_->stall_count = 0;
        now = faults;
        impl_->faults_changed = true;
    }
    impl_->wake();
}

namespace {
// Reads printer state under its lock.
template <class F>
auto locked(std::mutex& m, F f) {
    std::lock_guard lk(m);
    return f();
}
}  // namespace

Faults VirtualPrinter::faults() const {
    return locked(impl_->m, [&] { return impl_->st.faults; });
}
std::string VirtualPrinter::firmware_version() const {
    return locked(impl_->m, [&] { return impl_->st.version; });
}
std::string VirtualPrinter::product_name() const {
    return locked(impl_->m, [&] { return impl_->st.name; });
}
std::string VirtualPrinter::usb_id() const {
    return locked(impl_->m, [&] { return impl_->st.usb_id; });
}
std::vector<std::uint8_t> VirtualPrinter::nvm() const {
    return locked(impl_->m, [&] { return impl_->st.nvm; });
}
bool VirtualPrinter::in_setup_mode() const {
    return locked(impl_->m, [&] { return impl_->st.setup_mode && !impl_->away; });
}
bool VirtualPrinter::away() const {
    return locked(impl_->m, [&] { return impl_->away; });
}
int VirtualPrinter::restarts() const {
    return locked(impl_->m, [&] { return impl_->restarts; });
}
LoadedImage VirtualPrinter::last_image() const {
    return locked(impl_->m, [&] { return impl_->st.image; });
}
int VirtualPrinter::setup_frames_applied() const {
    return locked(impl_->m, [&] { return impl_->st.setup_frames; });
}
int VirtualPrinter::nvm_writes() const {
    return locked(impl_->m, [&] { return impl_->st.nvm_writes; });
}
std::vector<TranscriptEntry> VirtualPrinter::transcript() const {
    return locked(impl_->m, [&] { return impl_->transcript.entries(); });
}
std::vector<std::string> VirtualPrinter::events() const {
    return locked(impl_->m, [&] { return impl_->events; });
}

std::vector<std::uint8_t> VirtualPrinter::bytes(LinkKind kind, Direction direction) const {
    return locked(impl_->m, [&] { return impl_->transcript.bytes(kind, direction); });
}

bool VirtualPrinter::wait_until(const std::function<bool()>& pred,
                                std::chrono::milliseconds timeout) const {
    auto& s = *impl_;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        std::uint64_t seen;
        {
            std::lock_guard lk(s.wait_m);
            seen = s.changes;
        }
        if (pred()) return true;
        std::unique_lock lk(s.wait_m);
        if (!s.wait_cv.wait_until(lk, deadline, [&] { return s.changes != seen; })) {
            lk.unlock();
            return pred();
        }
    }
}

}  // namespace kp28sim
