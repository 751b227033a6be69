// The one-way links that reach a printer in normal mode besides the serial
// port: the USB library (bound at run time, as the window binds it), a TCP
// connection to the printer's raw port, and a parallel port node. Each sends
// the bytes it is given and nothing else, and reports failures with the
// system's or the library's reason.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kp28setup/files.h"

namespace kp28setup {

inline constexpr std::uint16_t kPrinterTcpPort = 9100;
inline constexpr std::size_t kSendPiece = 512;

// Result of a send step: ok, or the reason in words.
struct SendResult {
    bool ok = true;
    std::string reason;
    static SendResult failed(std::string why) { return {false, std::move(why)}; }
};

// The largest setup file: the load-setup frame of a whole 2048-byte image.
inline constexpr std::size_t kMaxSetupFile = 2048 + 11;
// Why bytes are not a setup file, or empty when they are: a printer takes a
// file made of whole command frames (the frame prefix, a length, as many bytes
// as it says), and a cut frame leaves it waiting for the rest.
std::string setup_file_problem(std::span<const std::uint8_t> bytes);
// The setup file at path, read and checked before any link is opened.
std::optional<std::vector<std::uint8_t>> read_setup_file(const std::string& path,
                                                         std::string* reason);

// The file's bytes split into pieces of at most `piece` bytes: every piece full
// but the last, which holds the rest; no filler, and no empty piece after a
// file whose size is a multiple of the piece.
std::vector<std::span<const std::uint8_t>> pieces(std::span<const std::uint8_t> bytes,
                                                  std::size_t piece = kSendPiece);

// --- the USB library, bound by name on first use ---

// The four exports the setup tool calls, with the library's own codes.
class UsbLibrary {
  public:
    virtual ~UsbLibrary() = default;
    // False (with the loader's reason) when the library or an export is missing.
    virtual bool available(std::string* reason) = 0;
    virtual std::int32_t connect(std::int32_t index, std::uint32_t* door) = 0;
    // timeout_ms -1: no time limit.
    virtual std::int32_t write(std::uint32_t door, std::span<const std::uint8_t> bytes,
                               std::int32_t timeout_ms) = 0;
    virtual std::int32_t disconnect(std::uint32_t door) = 0;
    // The last error code and its message (up to the first NUL).
    virtual std::int32_t geterrno(std::string* message) = 0;
};

// The file the setup tool loads as its USB library: KP28WRAP_LIBRARY when
// set, else libkp28wrap.so.1 where the build or install tree puts it beside
// this program, else that name for the loader's search.
std::string usb_library_file();

// libkp28wrap.so.1 through dlopen/dlsym at the first call (usb_library_file();
// `file` overrides it).
std::unique_ptr<UsbLibrary> make_dlopen_usb_library(std::string file = {});

// --- TCP ---

// "ADDR" or "ADDR:PORT" ("[v6]:PORT" for an IPv6 address with a port); an
// address without a port takes default_port. nullopt when the port is not a
// number from 1 to 65535.
struct HostPort {
    std::string host;
    std::uint16_t port = 0;
};
std::optional<HostPort> parse_host_port(const std::string& text, std::uint16_t default_port);

// A TCP client: a non-blocking connect with a deadline on the monotonic clock,
// then whole writes. `idle` is called between the polls of the connect (the
// window processes its events there).
class TcpClient {
  public:
    TcpClient() = default;
    ~TcpClient();
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    // cancelled, when given, is asked between the polls too: true ends the
    // wait as "interrupted while connecting".
    SendResult connect(const HostPort& to, std::chrono::milliseconds limit,
                       const std::function<void()>& idle,
                       const std::function<bool()>& cancelled = {});
    bool connected() const { return fd_ >= 0; }
    // The connected socket, handed over to the caller (-1 when none).
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    SendResult send_all(std::span<const std::uint8_t> bytes, std::chrono::milliseconds limit);
    void close();

  private:
    int fd_ = -1;
};

// --- parallel port ---

// Writes the bytes to the node as they are (no terminal settings touched),
// every byte or the reason why not, within `limit`.
SendResult write_to_node(const std::string& node, std::span<const std::uint8_t> bytes,
                         std::chrono::milliseconds limit);

}  // namespace kp28setup
