// The termios serial port: raw 8N1 at the speed of its settings text, the node
// of its COM number found through a resolver (the sysfs scan), non-blocking
// I/O with every wait in poll(). Events come from the driver's line and error
// counters (TIOCGICOUNT, TIOCMGET) where it has them, checked at each call.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "kp28setup/serial_port.h"

namespace kp28setup {

class PosixSerialPort : public SerialPort {
  public:
    // The device node behind a COM number, or nullopt.
    using NodeResolver = std::function<std::optional<std::string>(int com)>;
    explicit PosixSerialPort(NodeResolver resolver);
    ~PosixSerialPort() override;
    PosixSerialPort(const PosixSerialPort&) = delete;
    PosixSerialPort& operator=(const PosixSerialPort&) = delete;

    int port_number() const override { return number_; }
    void set_port_number(int n) override;
    void open() override;
    void close() override;
    bool is_open() const override { return fd_ >= 0; }
    void set_settings(std::string_view text) override;
    std::string settings() const override { return settings_text_; }
    void write(std::span<const std::uint8_t> bytes, std::chrono::milliseconds limit) override;
    std::optional<std::uint8_t> read_byte(std::chrono::milliseconds limit) override;
    std::optional<std::uint8_t> read_now() override;
    std::optional<bool> cts() override;
    std::optional<bool> dsr() override;
    void discard_output() override;
    bool drain(std::chrono::milliseconds limit) override;
    void set_event_handler(EventHandler h) override { handler_ = std::move(h); }

    // The node opened last (empty before the first open).
    const std::string& node() const { return node_; }
    // The errno of the last open that the system refused, 0 after one that
    // worked: the front ends add their pointer to the fix on EACCES.
    int last_open_errno() const { return open_errno_; }

  private:
    void apply_settings();
    void check_events();
    // Reads what is waiting into rx_, waiting up to wait_ms for something to
    // come; false when nothing came.
    bool fill(int wait_ms);

    NodeResolver resolver_;
    int number_ = 0;
    int fd_ = -1;
    std::string node_;
    int open_errno_ = 0;
    std::string settings_text_ = "9600,n,8,1";
    SerialSettings settings_{9600, 'n', 8, 1};
    EventHandler handler_;
    std::vector<std::uint8_t> rx_;  // read from the node, not yet handed out
    std::size_t rx_at_ = 0;

    // Last seen driver counters and line bits, to turn changes into events.
    bool have_counts_ = false;
    struct Counts {
        int brk = 0, frame = 0, overrun = 0, parity = 0, buf_overrun = 0;
        int cts = 0, dsr = 0, dcd = 0, rng = 0;
    } counts_;
    std::optional<int> lines_;
};

}  // namespace kp28setup
