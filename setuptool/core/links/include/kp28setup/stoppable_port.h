// A serial port that a stop request ends. The session's thread drives the
// port; once a stop is requested (a signal, the window closing), every wait
// ends within one slice and further reads and writes fail with kErrStopped, so
// the operation runs into its own failure path instead of waiting out its
// limits. Within a transfer the request waits: bytes go out, the echo is read
// and queued output leaves as if nothing had been asked.
#pragma once

#include <chrono>

#include "kp28setup/serial_port.h"
#include "kp28setup/stop_source.h"

namespace kp28setup {

class StoppablePort : public SerialPort {
  public:
    StoppablePort(SerialPort& inner, const StopSource& stop) : inner_(inner), stop_(stop) {}

    int port_number() const override { return inner_.port_number(); }
    void set_port_number(int n) override { inner_.set_port_number(n); }
    void open() override { inner_.open(); }
    void close() override { inner_.close(); }
    bool is_open() const override { return inner_.is_open(); }
    void set_settings(std::string_view text) override { inner_.set_settings(text); }
    std::string settings() const override { return inner_.settings(); }
    void write(std::span<const std::uint8_t> bytes, std::chrono::milliseconds limit) override;
    std::optional<std::uint8_t> read_byte(std::chrono::milliseconds limit) override;
    std::optional<std::uint8_t> read_now() override;
    std::optional<bool> cts() override { return inner_.cts(); }
    std::optional<bool> dsr() override { return inner_.dsr(); }
    void discard_output() override { inner_.discard_output(); }
    bool drain(std::chrono::milliseconds limit) override;
    void set_event_handler(EventHandler h) override { inner_.set_event_handler(std::move(h)); }

  private:
    // How long one wait of the inner port lasts before the request is looked
    // at again.
    static constexpr std::chrono::milliseconds kSlice{100};
    [[noreturn]] void stopped() const;

    SerialPort& inner_;
    const StopSource& stop_;
};

}  // namespace kp28setup
