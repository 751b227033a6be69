// A serial port the window can stop from its own thread. The session's thread
// drives the port; when the window closes, every wait of the port ends within
// one slice and later reads find nothing, so the operation runs into its own
// time-out path and ends instead of waiting out the full limit.
#pragma once

#include <kp28setup/serial_port.h>

#include <atomic>
#include <chrono>

namespace kp28gui {

class StoppablePort : public kp28setup::SerialPort {
  public:
    explicit StoppablePort(kp28setup::SerialPort& inner) : inner_(inner) {}

    // Any thread.
    void stop() { stopped_ = true; }
    bool stopped() const { return stopped_; }

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
    // How long one wait of the inner port lasts before the stop flag is
    // looked at again.
    static constexpr std::chrono::milliseconds kSlice{100};

    kp28setup::SerialPort& inner_;
    std::atomic<bool> stopped_{false};
};

}  // namespace kp28gui
