// The exchanges with a printer over a serial port: the setup-mode letters
// (model query, NVM in and out, the parameter description) and the
// normal-mode identity queries, with their time limits. A failed exchange
// throws CommError (NoImage for an NVM length that is no length); what the
// window shows of it is decided above.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "kp28setup/serial_port.h"
#include "kp28setup/stop_source.h"
#include "kp28setup/time_limits.h"

namespace kp28setup {

inline constexpr std::size_t kNvmSize = 2048;
using NvmImage = std::array<std::uint8_t, kNvmSize>;

// The printer's two line settings: setup mode and normal mode.
inline constexpr const char* kSetupSpeed = "19200,n,8,1";
inline constexpr const char* kNormalSpeed = "9600,n,8,1";

// An NVM length that the image cannot hold, or that is no length at all.
struct NoImage {};

// What "r" brought, as far as it came: the length (0: none yet), whether it
// came in the older model's byte order (short images do), and the checksum
// trailer's first trailer_read bytes.
struct NvmReceived {
    std::int16_t length = 0;
    bool older_order = false;
    std::array<std::uint8_t, 4> trailer{};
    std::size_t trailer_read = 0;
};

// A finished description fetch.
struct FetchResult {
    bool ok = false;
    std::string bytes;    // as received, up to the end line when ok
    std::string problem;  // why not ok
    int error_code = 0;   // the CommError that ended it
};

class Dialogue {
  public:
    // pause: the fixed pauses of the exchanges (tests record instead of
    // waiting); idle: where a window processes its pending events.
    Dialogue(SerialPort& port, const TimeLimits& limits,
             std::function<void(std::chrono::milliseconds)> pause, StopSource* stop,
             std::function<void()> idle);

    SerialPort& port() { return port_; }
    const TimeLimits& limits() const { return limits_; }
    void pause(std::chrono::milliseconds ms) { pause_(ms); }
    // Whether a stop takes effect now: asked, and no transfer under way.
    bool stopping() const { return stop_ && stop_->stop_now(); }
    StopSource* stop() const { return stop_; }

    // --- the line ---
    // Lets written bytes leave (drain, then a settle) and closes the port.
    void drain_and_close();
    // Closes (as above), applies the settings and opens again.
    void reconfigure(const char* settings);
    // Waits for the written bytes to leave and settle; false when the line
    // did not send them within `limit`.
    bool drain_and_settle(std::chrono::milliseconds limit);
    void write_bytes(const std::vector<std::uint8_t>& bytes);
    void write_text(const std::string& s);
    // In pieces of 512 bytes, the window's events processed between them.
    void send_com(const std::string& str_to_print);
    std::uint8_t read_com_byte();
    std::uint8_t read_com_byte(std::chrono::milliseconds limit);
    std::string read_com_line();
    // A line of at most max_length bytes that must be complete by `deadline`:
    // a printer that keeps talking ends as a CommError either way.
    std::string read_com_line(std::size_t max_length,
                              std::chrono::steady_clock::time_point deadline);
    std::string read_com_all();
    // Reads and drops whatever the line holds, so that leftovers of an earlier
    // exchange are not taken for this one's reply.
    void discard_input();
    // As discard_input, processing the window's events on every byte; a port
    // that hung up has nothing left to drop.
    void drop_pending_input();
    // After a cut exchange: drops input until the line has been quiet for
    // `quiet`, for at most `limit`.
    void wait_for_quiet(std::chrono::milliseconds quiet, std::chrono::milliseconds limit);

    // --- exchanges ---
    // "n": true when the reply names a KP28Plus.
    bool query_model();
    // At normal speed: the product name and the firmware version replies as
    // they came (empty: nobody answered).
    std::string query_product_name();
    std::string query_firmware_version();
    // "r" and the image that follows, into `image`; plus: the KP28Plus byte
    // order of the length. `got` holds what came even when it throws NoImage
    // or CommError.
    void read_nvm(NvmImage& image, bool plus, NvmReceived& got);
    // "w", the first n bytes of the image and their checksum, then the
    // printer's echo of it. `sent` is the checksum once it has gone out. Once
    // "w" has gone out the transfer is finished whatever is asked from outside.
    void write_nvm(const NvmImage& image, std::size_t n, bool plus,
                   std::optional<std::array<std::uint8_t, 4>>& sent,
                   std::array<std::uint8_t, 4>& echo);
    // "m" and the description up to its end line, bounded in lines, bytes and
    // time; problem says why not.
    FetchResult fetch_description();

  private:
    // After the driver's queue is empty, a USB-serial adapter (and the other
    // end of a pseudo-terminal) may still hold the last bytes: they leave
    // within this pause, before a speed change could garble them.
    static constexpr std::chrono::milliseconds kSettle{200};

    SerialPort& port_;
    TimeLimits limits_;
    std::function<void(std::chrono::milliseconds)> pause_;
    StopSource* stop_;
    std::function<void()> idle_;
    // Bytes written since the port was opened or last settled: they must
    // leave before the line's settings change.
    bool unsettled_output_ = false;
};

}  // namespace kp28setup
