#include "kp28setup/fake_serial_port.h"

namespace kp28setup {

void FakeSerialPort::receive(const std::vector<std::uint8_t>& bytes) {
    rx_.insert(rx_.end(), bytes.begin(), bytes.end());
}

void FakeSerialPort::receive(const std::string& bytes) {
    rx_.insert(rx_.end(), bytes.begin(), bytes.end());
}

std::vector<std::uint8_t> FakeSerialPort::written_bytes() const {
    std::vector<std::uint8_t> all;
    for (const auto& w : writes_) all.insert(all.end(), w.bytes.begin(), w.bytes.end());
    return all;
}

void FakeSerialPort::deliver_events() {
    auto events = std::move(pending_events_);
    pending_events_.clear();
    if (handler_)
        for (int e : events) handler_(e);
}

void FakeSerialPort::set_port_number(int n) {
    if (open_) throw CommError(kErrPortAlreadyOpen, "port already open");
    number_ = n;
}

void FakeSerialPort::open() {
    if (open_) throw CommError(kErrPortAlreadyOpen, "port already open");
    if (!existing_ports.count(number_))
        throw CommError(kErrInvalidPortNumber, "invalid port number");
    open_ = true;
    ++opens_;
}

void FakeSerialPort::close() {
    if (!open_) return;
    open_ = false;
    ++closes_;
}

void FakeSerialPort::set_settings(std::string_view text) {
    if (!parse_settings(text)) throw CommError(kErrInvalidSettings, "invalid settings");
    settings_ = std::string(text);
}

void FakeSerialPort::write(std::span<const std::uint8_t> bytes, std::chrono::milliseconds) {
    deliver_events();
    if (!open_) throw CommError(kErrPortNotOpen, "port not open");
    writes_.push_back(Write{number_, settings_, {bytes.begin(), bytes.end()}});
    if (responder) responder(*this, writes_.back());
    deliver_events();
}

std::optional<std::uint8_t> FakeSerialPort::read_byte(std::chrono::milliseconds) {
    deliver_events();
    if (!open_) throw CommError(kErrPortNotOpen, "port not open");
    if (rx_.empty()) return std::nullopt;
    const std::uint8_t b = rx_.front();
    rx_.pop_front();
    return b;
}

std::optional<std::uint8_t> FakeSerialPort::read_now() {
    deliver_events();
    if (!open_ || rx_.empty()) return std::nullopt;
    const std::uint8_t b = rx_.front();
    rx_.pop_front();
    return b;
}

}  // namespace kp28setup
