// A scripted serial port for tests of the session: it records every write with
// the settings in force, answers from a responder that sees each write, and
// lets a test raise any event or line state. Reads never wait: an empty
// receive queue is a time-out at once, so a test runs at memory speed.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "kp28setup/serial_port.h"

namespace kp28setup {

class FakeSerialPort : public SerialPort {
  public:
    struct Write {
        int port = 0;
        std::string settings;
        std::vector<std::uint8_t> bytes;
    };
    // Sees each write (after it is recorded) and may queue replies or events.
    using Responder = std::function<void(FakeSerialPort&, const Write&)>;

    // COM numbers that have a device behind them.
    std::set<int> existing_ports = {1};
    Responder responder;

    void receive(const std::vector<std::uint8_t>& bytes);
    void receive(const std::string& bytes);
    // Delivers the event at the next call of the port, as a driver would.
    void raise_event(int code) { pending_events_.push_back(code); }
    std::optional<bool> cts_state, dsr_state;

    const std::vector<Write>& writes() const { return writes_; }
    std::vector<std::uint8_t> written_bytes() const;
    std::size_t pending_input() const { return rx_.size(); }
    int opens() const { return opens_; }
    int closes() const { return closes_; }
    int discards() const { return discards_; }
    int drains() const { return drains_; }

    int port_number() const override { return number_; }
    void set_port_number(int n) override;
    void open() override;
    void close() override;
    bool is_open() const override { return open_; }
    void set_settings(std::string_view text) override;
    std::string settings() const override { return settings_; }
    void write(std::span<const std::uint8_t> bytes, std::chrono::milliseconds limit) override;
    std::optional<std::uint8_t> read_byte(std::chrono::milliseconds limit) override;
    std::optional<std::uint8_t> read_now() override;
    std::optional<bool> cts() override { return cts_state; }
    std::optional<bool> dsr() override { return dsr_state; }
    void discard_output() override { ++discards_; }
    bool drain(std::chrono::milliseconds) override {
        ++drains_;
        return true;
    }
    void set_event_handler(EventHandler h) override { handler_ = std::move(h); }

  private:
    void deliver_events();

    int number_ = 0;
    bool open_ = false;
    std::string settings_ = "9600,n,8,1";
    std::deque<std::uint8_t> rx_;
    std::vector<int> pending_events_;
    std::vector<Write> writes_;
    EventHandler handler_;
    int opens_ = 0, closes_ = 0, discards_ = 0, drains_ = 0;
};

}  // namespace kp28setup
