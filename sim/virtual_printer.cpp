// The virtual printer's engine. One worker thread owns every link: it waits in
// poll() on the pseudo-terminal masters, the TCP listener and its connections
// and a wake-up eventfd, with a time-out taken from the next timer (the end of
// a restart, line-rate pacing). Input is parsed per link, acted on under the
// printer's lock and answered through a per-link output queue, so a slow or
// absent reader never blocks the printer.
//
// The printer is honest to its dialogues: it answers only what it accepts.
// Commands of a mode that is not open (except leaving it, which is
// acknowledged), frames of unknown shape and letters in normal mode are
// swallowed without an answer; a command inside a mode that carries the wrong
// token is refused with an acknowledgement that carries the printer's own
// token, which the tool sees as a wrong token.
#include "kp28sim/virtual_printer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <kp28/nvm_crc.h>
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

namespace kp28sim {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr unsigned kNormalSpeed = 9600;
constexpr unsigned kSetupSpeed = 19200;
constexpr std::size_t kUsbIdSize = 32;
constexpr std::size_t kProductNameMax = 17;
constexpr std::size_t kModelReplySize = 11;  // the setup tool reads 11 characters after "n"
constexpr std::size_t kHeaderSize = 256;
constexpr std::size_t kReadChunk = 4096;

[[noreturn]] void throw_errno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

unsigned speed_value(speed_t s) {
    switch (s) {
    case B50: return 50;
    case B75: return 75;
    case B110: return 110;
    case B134: return 134;
    case B150: return 150;
    case B200: return 200;
    case B300: return 300;
    case B600: return 600;
    case B1200: return 1200;
    case B1800: return 1800;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return 0;
    }
}

std::string hex2(std::uint8_t b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", b);
    return buf;
}

std::uint8_t next_token(std::uint8_t t) {
    ++t;
    return t == 0 ? 1 : t;
}

struct Link {
    LinkKind kind = LinkKind::Usb;
    std::string name;
    int fd = -1;
    bool owned = false;  // TCP connections; pty masters belong to the sysroot
    std::string slave_path;
    bool failed = false;  // an unexpected read error: no longer polled

    std::vector<std::uint8_t> in;  // normal-mode bytes not yet parsed
    std::deque<std::uint8_t> out;  // answers not yet written
    enum class Rx { Frame, ImageData, UsbIdText } rx = Rx::Frame;
    std::size_t raw_left = 0;
    std::string id_text;
    bool id_too_long = false;
    // "w" in setup mode: image and checksum still to come
    std::vector<std::uint8_t> setup_in;
    std::size_t setup_left = 0;

    Clock::time_point rx_at{}, tx_at{};  // line-rate pacing: earliest next transfer
};

}  // namespace

struct VirtualPrinter::Impl {
    Impl(kp28::FakeSysroot& s, const PrinterConfig& c) : sysroot(s), cfg(c) {}

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
    bool setup_mode = false;
    enum class Session { None, Dll, UsbId } session = Session::None;
    std::uint8_t token = 0;
    std::uint8_t last_token = 0x06;  // the first token handed out is 0x07
    std::string version, name, usb_id;
    std::vector<std::uint8_t> nvm, mfg;
    std::string description;
    bool usb_id_feature = true;
    LoadedImage image;
    bool size_known = false;
    Faults faults;
    bool cut = false;
    std::size_t cut_count = 0;
    std::size_t stall_count = 0;  // bytes read from the USB node since stall_after_bytes was set
    bool away = false;
    std::optional<Clock::time_point> back_at;  // nullopt while away: never
    bool back_in_setup = false;
    int restarts = 0, setup_frames = 0, nvm_writes = 0;
    std::vector<TranscriptEntry> transcript;
    std::vector<std::string> events, pending_events;
    FILE* transcript_file = nullptr;
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
        if (transcript_file) {
            std::fprintf(transcript_file, "%s\n", format_transcript_line(e).c_str());
            std::fflush(transcript_file);
        }
        if (cfg.keep_transcript) transcript.push_back(std::move(e));
    }

    unsigned line_speed(const Link& l) const {
        if (l.kind != LinkKind::Serial) return 0;
        termios tio{};
        // The master shows the settings that the other side made on the slave.
        if (tcgetattr(l.fd, &tio) != 0) return 0;
        return speed_value(cfgetispeed(&tio));
    }
    double pace_rate(const Link& l) const {
        if (!faults.pace_line_rate || l.kind != LinkKind::Serial) return 0;
        return line_speed(l) / 10.0;
    }

    void send(Link& l, std::vector<std::uint8_t> bytes) {
        if (faults.garbage) {
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
    void ack(Link& l, std::uint8_t cls, std::uint8_t t) {
        send(l, {0x14, 0x14, 0x1B, 0x14, cls, t});
    }
    // The token that acknowledgements inside a mode carry.
    std::uint8_t ack_token() const {
        if (faults.ack_byte) return *faults.ack_byte;
        if (faults.wrong_token) return next_token(token);
        return token;
    }

    void reset_parsers() {
        for (auto& l : links) {
            l.in.clear();
            l.out.clear();
            l.rx = Link::Rx::Frame;
            l.raw_left = 0;
            l.id_text.clear();
            l.setup_in.clear();
            l.setup_left = 0;
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
        session = Session::None;
        token = 0;
        size_known = false;
        reset_parsers();
        close_tcp_connections();
        flush_pty_buffers();
        set_usb_present(false);
        if (may_stay_away && faults.never_comes_back) {
            back_at.reset();
            event(why + ": restarting, not coming back");
        } else {
            const milliseconds down = faults.comeback_after.value_or(cfg.reboot_downtime);
            back_at = Clock::now() + down;
            event(why + ": restarting, back in " + std::to_string(down.count()) + " ms");
        }
    }
    void come_back() {
        away = false;
        back_at.reset();
        setup_mode = back_in_setup;
        ++restarts;
        flush_pty_buffers();
        if (!cut) set_usb_present(true);
        event(std::string("back up in ") + (setup_mode ? "setup mode" : "normal mode") +
              ", firmware " + version);
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
        if (!faults.cut_after_bytes || cut) return n;
        const std::size_t limit = *faults.cut_after_bytes;
        const std::size_t left = limit > cut_count ? limit - cut_count : 0;
        const std::size_t k = std::min(n, left);
        cut_count += k;
        return k;
    }

    // How many more bytes the USB node may give before the printer stops
    // reading it (the most a size can hold when it does not stall).
    std::size_t stall_allowance(const Link& l) const {
        if (!faults.stall_after_bytes || l.kind != LinkKind::Usb) return std::numeric_limits<std::size_t>::max();
        const std::size_t limit = *faults.stall_after_bytes;
        return limit > stall_count ? limit - stall_count : 0;
    }

    // --- input ---

    void on_input(Link& l, const std::uint8_t* p, std::size_t n) {
        const unsigned speed = line_speed(l);
        record(l, Direction::ToPrinter, p, n, speed);
        if (cut) return;
        std::size_t k = cut_allowance(n);
        if (!away && !faults.silent) {
            if (setup_mode) {
                if (l.kind == LinkKind::Serial && speed == kSetupSpeed) setup_input(l, p, k);
            } else if (l.kind != LinkKind::Serial || speed == kNormalSpeed) {
                l.in.insert(l.in.end(), p, p + k);
                parse_frames(l);
            }
        }
        if (faults.cut_after_bytes && cut_count >= *faults.cut_after_bytes) cut_links();
    }

    void setup_input(Link& l, const std::uint8_t* p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            if (!setup_mode) return;  // "g" ends the letters
            if (l.setup_left > 0) {
                l.setup_in.push_back(p[i]);
                if (--l.setup_left == 0) finish_nvm_write(l);
                continue;
            }
            setup_letter(l, p[i]);
        }
    }

    void setup_letter(Link& l, std::uint8_t c) {
        const bool plus = cfg.model == Model::KP28Plus;
        switch (c) {
        case 'n': {
            std::string reply = name.substr(0, kModelReplySize);
            reply.resize(kModelReplySize, ' ');
            send(l, std::vector<std::uint8_t>(reply.begin(), reply.end()));
            event("setup: model query answered \"" + reply + "\"");
            break;
        }
        case 'r': {
            std::vector<std::uint8_t> body = nvm;
            if (faults.nvm_length_2049) body.push_back(0);
            const auto len = static_cast<std::uint16_t>(body.size());
            std::vector<std::uint8_t> out;
            out.push_back(static_cast<std::uint8_t>(plus ? len : len >> 8));
            out.push_back(static_cast<std::uint8_t>(plus ? len >> 8 : len));
            out.insert(out.end(), body.begin(), body.end());
            auto crc = kp28::nvm_crc(body, body.size(), plus);
            if (faults.bad_nvm_checksum) crc[0] ^= 0xFF;
            out.insert(out.end(), crc.begin(), crc.end());
            send(l, std::move(out));
            event("setup: NVM read, " + std::to_string(body.size()) + " bytes");
            break;
        }
        case 'w':
            l.setup_in.clear();
            l.setup_left = kNvmSize + 4;
            event("setup: NVM write started");
            break;
        case 'R':
            nvm = mfg;
            event("setup: manufacturing defaults restored");
            break;
        case 'm':
            send(l, std::vector<std::uint8_t>(description.begin(), description.end()));
            event("setup: parameter description sent");
            break;
        case 'g':
            setup_mode = false;
            l.setup_left = 0;
            event("setup: left setup mode");
            break;
        default:
            break;  // not a command of the setup dialogue
        }
    }

    void finish_nvm_write(Link& l) {
        const bool plus = cfg.model == Model::KP28Plus;
        std::span<const std::uint8_t> img(l.setup_in.data(), kNvmSize);
        auto mine = kp28::nvm_crc(img, kNvmSize, plus);
        const bool match = std::equal(mine.begin(), mine.end(), l.setup_in.begin() + kNvmSize);
        std::vector<std::uint8_t> echo(l.setup_in.begin() + kNvmSize, l.setup_in.end());
        if (match && !faults.bad_nvm_checksum) {
            nvm.assign(img.begin(), img.end());
            ++nvm_writes;
            event("setup: NVM written, checksum echoed");
        } else {
            // The printer answers with what it computed; the image is not kept.
            echo.assign(mine.begin(), mine.end());
            if (match) echo[0] ^= 0xFF;
            event("setup: NVM write refused, checksum mismatch");
        }
        send(l, std::move(echo));
        l.setup_in.clear();
    }

    void parse_frames(Link& l) {
        std::size_t pos = 0;
        auto& in = l.in;
        while (pos < in.size() && !away && !setup_mode) {
            if (l.rx == Link::Rx::ImageData) {
                const std::size_t k = std::min(l.raw_left, in.size() - pos);
                image.data.insert(image.data.end(), in.begin() + pos, in.begin() + pos + k);
                pos += k;
                l.raw_left -= k;
                if (l.raw_left == 0) image_complete(l);
                continue;
            }
            if (l.rx == Link::Rx::UsbIdText) {
                const std::uint8_t c = in[pos++];
                if (c == 0) {
                    usb_id_written(l);
                } else if (l.id_text.size() < kUsbIdSize) {
                    l.id_text.push_back(static_cast<char>(c));
                } else {
                    l.id_too_long = true;
                }
                continue;
            }
            // Hunt for the prefix; what is not a frame is print data, and the
            // virtual printer has no paper.
            auto it = std::search(in.begin() + pos, in.end(), std::begin(kp28::kFramePrefix),
                                  std::end(kp28::kFramePrefix));
            if (it == in.end()) {
                // Keep a tail that may be the start of a prefix.
                std::size_t keep = 0;
                for (std::size_t t = std::min<std::size_t>(3, in.size() - pos); t > 0; --t)
                    if (std::equal(in.end() - t, in.end(), std::begin(kp28::kFramePrefix))) {
                        keep = t;
                        break;
                    }
                pos = in.size() - keep;
                break;
            }
            pos = static_cast<std::size_t>(it - in.begin());
            if (in.size() - pos < kp28::kFrameHeaderSize) break;
            const std::size_t len = kp28::get_le16(&in[pos + 4]);
            if (in.size() - pos < kp28::kFrameHeaderSize + len) break;
            std::vector<std::uint8_t> payload(in.begin() + pos + kp28::kFrameHeaderSize,
                                              in.begin() + pos + kp28::kFrameHeaderSize + len);
            pos += kp28::kFrameHeaderSize + len;
            frame(l, payload);
        }
        if (away || setup_mode) pos = in.size();
        in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(std::min(pos, in.size())));
    }

    void frame(Link& l, const std::vector<std::uint8_t>& p) {
        if (p.empty()) return;
        const std::size_t len = p.size();
        switch (p[0]) {
        case 0x01:
            if (len == 1) {
                std::vector<std::uint8_t> r(kp28::kFramePrefix, kp28::kFramePrefix + 4);
                r.push_back(kp28::kReplyProductName);
                r.insert(r.end(), name.begin(), name.end());
                if (name.size() < kProductNameMax) r.push_back(0);
                send(l, std::move(r));
                event("product name query answered");
            }
            return;
        case 0x02:
            if (len == 1) {
                std::vector<std::uint8_t> r(kp28::kFramePrefix, kp28::kFramePrefix + 4);
                r.push_back(kp28::kReplyFirmwareVersion);
                r.insert(r.end(), version.begin(), version.end());
                send(l, std::move(r));
                event("firmware version query answered: " + version);
            }
            return;
        case kp28::kClassDllMode:
            dll_frame(l, p);
            return;
        case kp28::kClassUsbIdMode:
            if (usb_id_feature) usb_id_frame(l, p);
            return;
        case kp28::kClassLoadSetup:
            load_setup(p);
            return;
        default:
            return;
        }
    }

    bool enter(Link& l, std::uint8_t cls, Session s, const char* what) {
        if (faults.zero_token) {
            session = Session::None;
            token = 0;
            ack(l, cls, 0);
            event(std::string("refused to enter ") + what + " (token 0)");
            return false;
        }
        last_token = next_token(last_token);
        token = last_token;
        session = s;
        ack(l, cls, token);
        event(std::string("entered ") + what + ", token " + hex2(token));
        return true;
    }
    // A command of an open mode: true when its token is the printer's. A wrong
    // token is refused with the printer's own token.
    bool token_ok(Link& l, std::uint8_t cls, std::uint8_t t) {
        if (t == token) return true;
        ack(l, cls, token);
        event("refused a command with token " + hex2(t) + " (mine is " + hex2(token) + ")");
        return false;
    }

    // Leaving a mode that is not open (it ended with a restart, or was never
    // entered) is acknowledged with the token the command carries: there is
    // nothing to refuse, and the updater sends exactly this after a reboot
    // and waits for its acknowledgement.
    void leave_closed_mode(Link& l, std::uint8_t cls, std::uint8_t t, const char* what) {
        ack(l, cls, faults.ack_byte.value_or(t));
        event(std::string("leave ") + what + " while not in it: acknowledged");
    }

    void dll_frame(Link& l, const std::vector<std::uint8_t>& p) {
        const std::size_t len = p.size();
        if (len == 2 && p[1] == 0) {
            enter(l, kp28::kClassDllMode, Session::Dll, "DLL mode");
            return;
        }
        if (len == 2 && session != Session::Dll) {
            leave_closed_mode(l, kp28::kClassDllMode, p[1], "DLL mode");
            return;
        }
        if (session != Session::Dll || len < 2) return;  // no DLL mode open: not a command
        const bool shape_ok = len == 2 || ((len == 3 || len == 7 || len == 7 + kHeaderSize) &&
                                           p[2] >= 1 && p[2] <= 4);
        if (!shape_ok) return;
        if (!token_ok(l, kp28::kClassDllMode, p[1])) return;
        if (len == 2) {
            ack(l, kp28::kClassDllMode, ack_token());
            session = Session::None;
            event("left DLL mode");
            return;
        }
        const std::uint8_t op = p[2];
        if (op == 1 && (len == 7 || len == 7 + kHeaderSize)) {
            image = LoadedImage{};
            image.size = kp28::get_le32(&p[3]);
            if (len == 7 + kHeaderSize) {
                image.header.emplace();
                std::copy(p.begin() + 7, p.end(), image.header->begin());
            }
            size_known = true;
            ack(l, kp28::kClassDllMode, ack_token());
            event("image size " + std::to_string(image.size) +
                  (image.header ? " with header" : " without header"));
        } else if (op == 2 && len == 3) {
            if (!size_known) return;  // nothing announced: the printer cannot take data
            image.data.clear();
            image.complete = false;
            l.raw_left = image.size;
            event("receiving " + std::to_string(image.size) + " image bytes");
            if (l.raw_left == 0)
                image_complete(l);
            else
                l.rx = Link::Rx::ImageData;
        } else if (op == 3 && len == 3) {
            const std::string old = version;
            if (image.complete) version = version_after_load(cfg.version_rule, old, image);
            event("write flash: firmware " + old + " -> " + version);
            restart(false, "write flash", true);
        } else if (op == 4 && len == 3) {
            restart(false, "reboot command", true);
        }
    }

    void image_complete(Link& l) {
        l.rx = Link::Rx::Frame;
        image.complete = true;
        size_known = false;
        ack(l, kp28::kClassDllMode, ack_token());
        event("image received, " + std::to_string(image.data.size()) + " bytes");
    }

    void usb_id_frame(Link& l, const std::vector<std::uint8_t>& p) {
        const std::size_t len = p.size();
        if (len == 2 && p[1] == 0) {
            enter(l, kp28::kClassUsbIdMode, Session::UsbId, "USB-ID mode");
            return;
        }
        if (len == 2 && session != Session::UsbId) {
            leave_closed_mode(l, kp28::kClassUsbIdMode, p[1], "USB-ID mode");
            return;
        }
        if (session != Session::UsbId) return;
        const bool shape_ok = len == 2 || (len == 3 && (p[2] == 1 || p[2] == 2));
        if (!shape_ok) return;
        if (!token_ok(l, kp28::kClassUsbIdMode, p[1])) {
            // A refused write still has its text on the line; swallow it.
            if (len == 3 && p[2] == 1) {
                l.rx = Link::Rx::UsbIdText;
                l.id_text.clear();
                l.id_too_long = true;
            }
            return;
        }
        if (len == 2) {
            ack(l, kp28::kClassUsbIdMode, ack_token());
            session = Session::None;
            event("left USB-ID mode");
        } else if (p[2] == 2) {
            std::vector<std::uint8_t> r(kp28::kFramePrefix, kp28::kFramePrefix + 4);
            r.push_back(kp28::kClassUsbIdMode);
            r.push_back(ack_token());
            std::string id = usb_id;
            id.resize(kUsbIdSize, '\0');
            r.insert(r.end(), id.begin(), id.end());
            send(l, std::move(r));
            event("USB identifier read: " + usb_id);
        } else {
            l.rx = Link::Rx::UsbIdText;
            l.id_text.clear();
            l.id_too_long = false;
        }
    }

    void usb_id_written(Link& l) {
        l.rx = Link::Rx::Frame;
        if (l.id_too_long) {
            event("USB identifier write refused");
        } else {
            usb_id = l.id_text;
            ack(l, kp28::kClassUsbIdMode, ack_token());
            event("USB identifier written: " + usb_id);
        }
        l.id_text.clear();
    }

    void load_setup(const std::vector<std::uint8_t>& p) {
        const bool plus = cfg.model == Model::KP28Plus;
        if (p.size() != 1 + kNvmSize + 4) {
            event("load-setup frame refused: " + std::to_string(p.size() - 1) + " bytes after the class");
            return;
        }
        std::span<const std::uint8_t> img(p.data() + 1, kNvmSize);
        const auto crc = kp28::nvm_crc(img, kNvmSize, plus);
        if (faults.bad_nvm_checksum || !std::equal(crc.begin(), crc.end(), p.begin() + 1 + kNvmSize)) {
            event("load-setup frame refused: checksum mismatch");
            return;
        }
        nvm.assign(img.begin(), img.end());
        ++setup_frames;
        event("load-setup frame applied");
    }

    // --- the loop ---

    void apply_requests() {
        if (faults_changed) {
            faults_changed = false;
            if (!faults.cut_after_bytes && cut) {
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
        if (rate > 0) n = std::min<std::size_t>(n, std::max<std::size_t>(1, static_cast<std::size_t>(rate / 50)));
        n = std::min(n, kReadChunk);
        std::vector<std::uint8_t> buf(l.out.begin(), l.out.begin() + static_cast<std::ptrdiff_t>(n));
        const std::size_t allowed = cut_allowance(n);
        ssize_t w = 0;
        if (allowed > 0) {
            w = l.kind == LinkKind::Tcp ? ::send(l.fd, buf.data(), allowed, MSG_NOSIGNAL | MSG_DONTWAIT)
                                        : ::write(l.fd, buf.data(), allowed);
            if (w < 0) {
                if (faults.cut_after_bytes) cut_count -= allowed;
                if (errno != EAGAIN && errno != EINTR) l.failed = l.kind == LinkKind::Tcp;
                return;
            }
            if (faults.cut_after_bytes) cut_count -= allowed - static_cast<std::size_t>(w);
            record(l, Direction::FromPrinter, buf.data(), static_cast<std::size_t>(w), line_speed(l));
            l.out.erase(l.out.begin(), l.out.begin() + w);
        }
        if (rate > 0 && w > 0)
            l.tx_at = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(static_cast<double>(w) / rate));
        if (faults.cut_after_bytes && cut_count >= *faults.cut_after_bytes) cut_links();
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
            if (faults.stall_after_bytes && l.kind == LinkKind::Usb) stall_count += static_cast<std::size_t>(r);
            on_input(l, buf, static_cast<std::size_t>(r));
            if (rate > 0)
                l.rx_at = Clock::now() + std::chrono::duration_cast<Clock::duration>(
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
    : config_(std::move(config)), impl_(std::make_unique<Impl>(sysroot, config_)) {
    auto& c = config_;
    if (c.firmware_version.size() != 5) throw std::invalid_argument("the firmware version has 5 characters");
    if (c.usb_id.size() > kUsbIdSize) throw std::invalid_argument("the USB identifier has at most 32 characters");
    if (c.product_name.empty()) c.product_name = default_product_name(c.model, c.usb_id_feature);
    if (c.product_name.size() > kProductNameMax)
        throw std::invalid_argument("the product name has at most 17 characters");
    if (c.mfg_defaults.empty()) c.mfg_defaults = default_nvm(c.model);
    if (c.nvm.empty()) {
        c.nvm = c.mfg_defaults;
        // A printer that has been in service: a few settings differ from the
        // factory's, so that a restore shows.
        c.nvm[64] = 7;
        const char branch[] = "0042";
        std::copy(branch, branch + 4, c.nvm.begin() + 120);
    }
    if (c.nvm.size() != kNvmSize || c.mfg_defaults.size() != kNvmSize)
        throw std::invalid_argument("NVM images have 2048 bytes");
    if (c.description.empty()) c.description = default_description(c.model);
    auto& s = *impl_;
    s.version = c.firmware_version;
    s.name = c.product_name;
    s.usb_id = c.usb_id;
    s.nvm = c.nvm;
    s.mfg = c.mfg_defaults;
    s.description = c.description;
    s.usb_id_feature = c.usb_id_feature;
    s.faults = c.faults;
    s.setup_mode = c.start_in_setup_mode;
}

VirtualPrinter::~VirtualPrinter() {
    stop();
    auto& s = *impl_;
    if (s.listen_fd >= 0) ::close(s.listen_fd);
    if (s.wake_fd >= 0) ::close(s.wake_fd);
    if (s.transcript_file) std::fclose(s.transcript_file);
}

void VirtualPrinter::start() {
    auto& s = *impl_;
    if (s.started) return;
    if (s.stopping.load()) throw std::logic_error("a stopped virtual printer does not start again");
    const auto& c = config_;
    s.wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (s.wake_fd < 0) throw_errno("eventfd");
    if (!c.transcript_file.empty()) {
        s.transcript_file = std::fopen(c.transcript_file.c_str(), "a");
        if (!s.transcript_file) throw_errno("cannot open " + c.transcript_file);
    }
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
        if (inet_pton(AF_INET, c.tcp_address.c_str(), &a.sin_addr) != 1 || (ntohl(a.sin_addr.s_addr) >> 24) != 127)
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
        s.event(std::string(c.model == Model::KP28Plus ? "KP28Plus" : "KP28") + " \"" + s.name +
                "\" firmware " + s.version + " powered on in " +
                (s.setup_mode ? "setup mode" : "normal mode"));
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

std::string VirtualPrinter::usb_node() const { return impl_->usb_node; }
std::string VirtualPrinter::serial_node() const { return impl_->serial_node; }
std::string VirtualPrinter::parallel_node() const { return impl_->parallel_node; }
std::uint16_t VirtualPrinter::tcp_port() const { return impl_->tcp_port; }

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
        if (faults.cut_after_bytes != impl_->faults.cut_after_bytes) impl_->cut_count = 0;
        if (faults.stall_after_bytes != impl_->faults.stall_after_bytes) impl_->stall_count = 0;
        impl_->faults = faults;
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
    return locked(impl_->m, [&] { return impl_->faults; });
}
std::string VirtualPrinter::firmware_version() const {
    return locked(impl_->m, [&] { return impl_->version; });
}
std::string VirtualPrinter::product_name() const {
    return locked(impl_->m, [&] { return impl_->name; });
}
std::string VirtualPrinter::usb_id() const {
    return locked(impl_->m, [&] { return impl_->usb_id; });
}
std::vector<std::uint8_t> VirtualPrinter::nvm() const {
    return locked(impl_->m, [&] { return impl_->nvm; });
}
bool VirtualPrinter::in_setup_mode() const {
    return locked(impl_->m, [&] { return impl_->setup_mode && !impl_->away; });
}
bool VirtualPrinter::away() const {
    return locked(impl_->m, [&] { return impl_->away; });
}
int VirtualPrinter::restarts() const {
    return locked(impl_->m, [&] { return impl_->restarts; });
}
LoadedImage VirtualPrinter::last_image() const {
    return locked(impl_->m, [&] { return impl_->image; });
}
int VirtualPrinter::setup_frames_applied() const {
    return locked(impl_->m, [&] { return impl_->setup_frames; });
}
int VirtualPrinter::nvm_writes() const {
    return locked(impl_->m, [&] { return impl_->nvm_writes; });
}
std::vector<TranscriptEntry> VirtualPrinter::transcript() const {
    return locked(impl_->m, [&] { return impl_->transcript; });
}
std::vector<std::string> VirtualPrinter::events() const {
    return locked(impl_->m, [&] { return impl_->events; });
}

std::vector<std::uint8_t> VirtualPrinter::bytes(LinkKind kind, Direction direction) const {
    std::lock_guard lk(impl_->m);
    std::vector<std::uint8_t> out;
    for (const auto& e : impl_->transcript)
        if (e.kind == kind && e.direction == direction) out.insert(out.end(), e.bytes.begin(), e.bytes.end());
    return out;
}

bool VirtualPrinter::wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout) const {
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
