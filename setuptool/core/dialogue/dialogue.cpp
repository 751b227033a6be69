#include "kp28setup/dialogue.h"

#include <kp28/nvm_crc.h>
#include <kp28/protocol/commands.h>

#include <algorithm>

namespace kp28setup {

namespace {

// A model reply is 11 characters; a line or a burst of input is never longer
// than these, so a line that keeps talking ends as an error rather than
// filling memory.
constexpr std::size_t kModelReplyReads = 11;
constexpr std::size_t kMaxLine = 64 * 1024;
constexpr std::size_t kMaxBurst = 1024 * 1024;
constexpr std::size_t kPiece = 512;

constexpr const char* kEndLine = "Z\t\r\n";
// What the largest editor can need: 1001 parameter rows and as many titles,
// the end line, and lines far longer than a record with a long item list.
// A printer that keeps talking without an end line is stopped here, or by
// the description's time limit, whichever comes first.
constexpr std::size_t kMaxRecordLines = 2 * 1001 + 1;
constexpr std::size_t kMaxRecordLine = 4096;
constexpr std::size_t kMaxDescription = 512 * 1024;

std::string trim_blanks(std::string s) {
    const auto a = s.find_first_not_of(' ');
    if (a == std::string::npos) return {};
    const auto b = s.find_last_not_of(' ');
    return s.substr(a, b - a + 1);
}

}  // namespace

Dialogue::Dialogue(SerialPort& port, const TimeLimits& limits,
                   std::function<void(std::chrono::milliseconds)> pause, StopSource* stop,
                   std::function<void()> idle)
    : port_(port), limits_(limits), pause_(std::move(pause)), stop_(stop), idle_(std::move(idle)) {
    if (!idle_) idle_ = [] {};
}

// --- the line ---

void Dialogue::drain_and_close() {
    if (!port_.is_open()) return;
    if (unsettled_output_) {
        port_.drain(limits_.drain);
        pause_(kSettle);
        unsettled_output_ = false;
    }
    port_.close();
}

void Dialogue::reconfigure(const char* settings) {
    drain_and_close();
    port_.set_settings(settings);
    port_.open();
}

bool Dialogue::drain_and_settle(std::chrono::milliseconds limit) {
    if (!port_.drain(limit)) return false;
    pause_(kSettle);
    unsettled_output_ = false;
    return true;
}

void Dialogue::write_bytes(const std::vector<std::uint8_t>& bytes) {
    unsettled_output_ = true;
    port_.write(bytes, limits_.write);
}

void Dialogue::write_text(const std::string& s) {
    write_bytes(std::vector<std::uint8_t>(s.begin(), s.end()));
}

void Dialogue::send_com(const std::string& str_to_print) {
    for (std::size_t at = 0; at < str_to_print.size(); at += kPiece) {
        write_text(str_to_print.substr(at, kPiece));
        idle_();
    }
}

std::uint8_t Dialogue::read_com_byte() {
    return read_com_byte(limits_.byte);
}

std::uint8_t Dialogue::read_com_byte(std::chrono::milliseconds limit) {
    const auto b = port_.read_byte(limit);
    if (!b)
        throw CommError(kErrTimeout,
                        "no byte from the printer within " + std::to_string(limit.count()) + " ms");
    return *b;
}

std::string Dialogue::read_com_line() {
    std::string line;
    while (line.empty() || line.back() != '\n') {
        if (line.size() >= kMaxLine) throw CommError(kErrIo, "line too long");
        line += static_cast<char>(read_com_byte());
    }
    return line;
}

std::string Dialogue::read_com_line(std::size_t max_length,
                                    std::chrono::steady_clock::time_point deadline) {
    using std::chrono::milliseconds;
    std::string line;
    while (line.empty() || line.back() != '\n') {
        if (line.size() >= max_length)
            throw CommError(kErrIo, "a line longer than " + std::to_string(max_length) + " bytes");
        const auto left =
            std::chrono::ceil<milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left < limits_.byte) {
            const auto b = port_.read_byte(std::max(left, milliseconds::zero()));
            if (!b) throw CommError(kErrPastDeadline, "past the exchange's time limit");
            line += static_cast<char>(*b);
            continue;
        }
        line += static_cast<char>(read_com_byte());
    }
    return line;
}

std::string Dialogue::read_com_all() {
    std::string all;
    while (all.size() < kMaxBurst) {
        const auto b = port_.read_now();
        if (!b) break;
        all += static_cast<char>(*b);
    }
    return all;
}

void Dialogue::discard_input() {
    for (std::size_t n = 0; n < kMaxBurst; ++n)
        if (!port_.read_now()) break;
}

void Dialogue::drop_pending_input() {
    try {
        for (std::size_t n = 0; n < kMaxBurst; ++n) {
            const auto b = port_.read_now();
            idle_();
            if (!b) break;
        }
    } catch (const CommError&) {
        // A port that hung up has nothing left to drop.
    }
}

void Dialogue::wait_for_quiet(std::chrono::milliseconds quiet, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    try {
        while (std::chrono::steady_clock::now() < until)
            if (!port_.read_byte(quiet)) return;
    } catch (const CommError&) {
        // Gone or stopped: quiet enough.
    }
}

// --- exchanges ---

bool Dialogue::query_model() {
    write_text("n");
    pause_(std::chrono::milliseconds(500));
    std::string reply;
    for (std::size_t i = 0; i < kModelReplyReads; ++i)
        if (const auto b = port_.read_now()) reply += static_cast<char>(*b);
    return trim_blanks(reply.substr(0, 8)) == "KP28plus" ||
           trim_blanks(reply.substr(0, 5)) == "KP28+";
}

std::string Dialogue::query_product_name() {
    reconfigure(kNormalSpeed);
    write_bytes(kp28::frames::product_name_query());
    pause_(std::chrono::milliseconds(300));
    return read_com_all();
}

std::string Dialogue::query_firmware_version() {
    write_bytes(kp28::frames::firmware_version_query());
    pause_(std::chrono::milliseconds(300));
    return read_com_all();
}

void Dialogue::read_nvm(NvmImage& image, bool plus, NvmReceived& got) {
    got = NvmReceived{};
    write_text("r");
    const unsigned b1 = read_com_byte();
    const unsigned b2 = read_com_byte();
    // The high byte decides: a length of 0x8000 or more is no length.
    unsigned n = plus ? b2 * 256 + b1 : b1 * 256 + b2;
    if (n >> 8 >= 0x80) throw NoImage{};
    // Short images come with their length bytes the other way round, and
    // then in the older model's order.
    if (n < 100) {
        n = plus ? b1 * 256 + b2 : b2 * 256 + b1;
        if (n >> 8 >= 0x80) throw NoImage{};
        got.older_order = true;
    }
    // A length of 0 is no image: a write of it would send "w" and a
    // checksum, and leave the printer waiting for its NVM.
    if (n == 0) throw NoImage{};
    got.length = static_cast<std::int16_t>(n);
    for (unsigned i = 0; i < n; ++i) {
        const std::uint8_t b = read_com_byte();
        if (i >= kNvmSize) throw NoImage{};
        image[i] = b;
    }
    for (auto& c : got.trailer) {
        c = read_com_byte();
        ++got.trailer_read;
    }
}

void Dialogue::write_nvm(const NvmImage& image, std::size_t n, bool plus,
                         std::optional<std::array<std::uint8_t, 4>>& sent,
                         std::array<std::uint8_t, 4>& echo) {
    sent.reset();
    discard_input();
    if (stopping()) throw CommError(kErrStopped, "stopped before the write began");
    // From "w" to the echo the printer collects an image: nothing from
    // outside cuts that short.
    StopSource::Transfer transfer(stop_);
    write_text("w");
    for (std::size_t i = 0; i < n; ++i) write_bytes({image[i]});
    sent = kp28::nvm_crc(image, n, plus);
    for (const auto c : *sent) write_bytes({c});
    // The printer stores its NVM before it answers.
    echo[0] = read_com_byte(limits_.echo);
    for (std::size_t j = 1; j < 4; ++j) echo[j] = read_com_byte();
}

FetchResult Dialogue::fetch_description() {
    FetchResult r;
    const auto deadline = std::chrono::steady_clock::now() + limits_.description;
    try {
        send_com("m");
        for (std::size_t lines = 1;; ++lines) {
            const std::string line = read_com_line(kMaxRecordLine, deadline);
            r.bytes += line;
            if (line == kEndLine) break;
            if (lines >= kMaxRecordLines || r.bytes.size() >= kMaxDescription)
                throw CommError(kErrIo, "no end line after " + std::to_string(lines) + " lines (" +
                                            std::to_string(r.bytes.size()) + " bytes)");
        }
        r.ok = true;
    } catch (const CommError& e) {
        r.error_code = e.code();
        r.problem =
            e.code() == kErrPastDeadline
                ? "no end line within " + std::to_string(limits_.description.count()) + " ms"
                : e.what();
    }
    return r;
}

}  // namespace kp28setup
