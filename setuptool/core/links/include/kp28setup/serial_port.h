// The serial port of the setup tool: a COM number, settings such as
// "19200,n,8,1", byte writes, single-byte reads with a time limit, line states
// and events with the codes the session's event handler knows. The session
// owns one port and drives it from its one thread; the port calls the event
// handler from inside its own calls, never from another thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kp28setup {

// Error numbers of the port, as the session's port-error table expects them.
enum CommErrorCode : int {
    kErrTypeMismatch = 13,         // a port number that is not a number
    kErrInvalidSettings = 380,     // a settings text that is not speed,parity,data,stop
    kErrInvalidPortNumber = 8002,  // no device behind the COM number
    kErrPortAlreadyOpen = 8005,
    kErrPortOpenFailed = 8010,  // the device exists but cannot be opened
    kErrPortNotOpen = 8018,     // operation valid only on an open port
    kErrTimeout = 8090,         // a read or write did not finish in its time limit
    kErrIo = 8091,              // the system failed a read or write
    kErrStopped = 8092,         // a signal or the closing window ended the wait
    kErrPastDeadline = 8093,    // an exchange did not end within its overall limit
};

class CommError : public std::runtime_error {
  public:
    CommError(int code, const std::string& what) : std::runtime_error(what), code_(code) {}
    int code() const { return code_; }

  private:
    int code_;
};

// Event codes delivered to the handler.
enum CommEvent : int {
    kEvSend = 1,
    kEvReceive = 2,
    kEvCts = 3,
    kEvDsr = 4,
    kEvCd = 5,
    kEvRing = 6,
    kEvEof = 7,
    kEvBreak = 1001,
    kEvCtsTimeout = 1002,
    kEvDsrTimeout = 1003,
    kEvFrame = 1004,
    kEvOverrun = 1006,
    kEvCdTimeout = 1007,
    kEvRxOver = 1008,
    kEvRxParity = 1009,
    kEvTxFull = 1010,
    kEvDcb = 1011,
};

struct SerialSettings {
    unsigned baud = 19200;
    char parity = 'n';
    unsigned data_bits = 8;
    unsigned stop_bits = 1;
};
// "19200,n,8,1" and the like; nullopt when the text is not of that form or
// asks for something other than 8 data bits, no parity and one stop bit at
// a speed the line supports.
std::optional<SerialSettings> parse_settings(std::string_view text);

class SerialPort {
  public:
    virtual ~SerialPort() = default;

    // The COM number (0: none chosen yet). Changing it while open: kErrPortAlreadyOpen.
    virtual int port_number() const = 0;
    virtual void set_port_number(int n) = 0;
    // kErrInvalidPortNumber when no device is behind the number.
    virtual void open() = 0;
    // Closing a closed port does nothing.
    virtual void close() = 0;
    virtual bool is_open() const = 0;
    // Applied at once when open, else at the next open. kErrInvalidSettings.
    virtual void set_settings(std::string_view text) = 0;
    virtual std::string settings() const = 0;

    // All bytes or an error (kErrPortNotOpen, kErrTimeout when the line does
    // not take them within the limit, kErrIo).
    virtual void write(std::span<const std::uint8_t> bytes, std::chrono::milliseconds limit) = 0;
    // One byte, waiting at most `limit`; nullopt when none came in time.
    // kErrPortNotOpen on a closed port.
    virtual std::optional<std::uint8_t> read_byte(std::chrono::milliseconds limit) = 0;
    // One byte if one is waiting, at once; nothing on a closed port.
    virtual std::optional<std::uint8_t> read_now() = 0;

    // Line states; nullopt where the driver cannot tell (a pseudo-terminal).
    virtual std::optional<bool> cts() = 0;
    virtual std::optional<bool> dsr() = 0;
    // Drops bytes not yet sent.
    virtual void discard_output() = 0;
    // Waits until every written byte has left, at most `limit`; false when
    // bytes were still queued at the limit.
    virtual bool drain(std::chrono::milliseconds limit) = 0;

    // Called with the event code from inside the port's own calls.
    using EventHandler = std::function<void(int)>;
    virtual void set_event_handler(EventHandler h) = 0;
};

}  // namespace kp28setup
