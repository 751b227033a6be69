// The virtual printer's two dialogues as engines: bytes in, replies and events
// out, no descriptors, no threads, no clock. The links (links.cpp) feed them
// what arrives on each link and carry the replies back; a test can drive them
// in-process the same way.
//
// One PrinterState is the printer: what both dialogues read and change. Each
// link has its own Channel per engine, holding what a dialogue has half read
// on that link. The caller serialises calls (the virtual printer holds its
// lock around them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kp28sim/virtual_printer.h"

namespace kp28sim {

// What a configuration means once its defaults are filled in; throws
// std::invalid_argument for a configuration no printer could have.
PrinterConfig complete_config(PrinterConfig config);

struct PrinterState {
    // config: as complete_config() returns it.
    explicit PrinterState(const PrinterConfig& config);

    Model model = Model::KP28Plus;
    VersionRule version_rule = VersionRule::FromImage;
    std::string version, name, usb_id;
    std::vector<std::uint8_t> nvm, mfg;
    std::string description;
    bool usb_id_feature = true;
    Faults faults;

    bool setup_mode = false;
    enum class Session { None, Dll, UsbId } session = Session::None;
    std::uint8_t token = 0;
    std::uint8_t last_token = 0x06;  // the first token handed out is 0x07
    LoadedImage image;
    bool size_known = false;  // an image size was announced and no data has followed yet
    int setup_frames = 0;     // load-setup frames accepted
    int nvm_writes = 0;       // "w" transfers accepted
};

// What one call of an engine produced.
struct EngineOutput {
    // Each answer as the printer writes it, in order.
    std::vector<std::vector<std::uint8_t>> replies;
    // One line per thing the printer did.
    std::vector<std::string> events;
    // The printer restarts (write flash, reboot): the rest of the input was
    // dropped and the caller takes the printer away.
    struct Restart {
        std::string why;  // "write flash", "reboot command"
    };
    std::optional<Restart> restart;
};

// Normal mode: command frames on any link. Bytes outside frames are print
// data and are dropped.
class NormalEngine {
  public:
    struct Channel {
        std::vector<std::uint8_t> in;  // bytes not yet parsed
        enum class Rx { Frame, ImageData, UsbIdText } rx = Rx::Frame;
        std::size_t raw_left = 0;  // image bytes still to come
        std::string id_text;       // identifier text so far
        bool id_too_long = false;  // or a refused write: its text is swallowed
        void reset() { *this = Channel{}; }
    };

    explicit NormalEngine(PrinterState& state) : s_(state) {}
    void input(Channel& ch, std::span<const std::uint8_t> bytes, EngineOutput& out);

  private:
    void frame(std::span<const std::uint8_t> payload, Channel& ch, EngineOutput& out);
    void dll_frame(std::span<const std::uint8_t> payload, Channel& ch, EngineOutput& out);
    void usb_id_frame(std::span<const std::uint8_t> payload, Channel& ch, EngineOutput& out);
    void load_setup(std::span<const std::uint8_t> payload, EngineOutput& out);
    bool enter(std::uint8_t cls, PrinterState::Session session, const char* what,
               EngineOutput& out);
    bool token_ok(std::uint8_t cls, std::uint8_t t, EngineOutput& out);
    void leave_closed_mode(std::uint8_t cls, std::uint8_t t, const char* what, EngineOutput& out);
    void image_complete(Channel& ch, EngineOutput& out);
    void usb_id_written(Channel& ch, EngineOutput& out);
    std::uint8_t ack_token() const;
    void ack(std::uint8_t cls, std::uint8_t t, EngineOutput& out);

    PrinterState& s_;
};

// Setup mode: one-letter commands (the links give it the serial port at
// 19200 only).
class SetupEngine {
  public:
    struct Channel {
        std::vector<std::uint8_t> setup_in;  // "w": image and checksum so far
        std::size_t setup_left = 0;          // bytes of it still to come
        void reset() { *this = Channel{}; }
    };

    explicit SetupEngine(PrinterState& state) : s_(state) {}
    // Stops at "g": what follows it is not for the setup dialogue.
    void input(Channel& ch, std::span<const std::uint8_t> bytes, EngineOutput& out);

  private:
    void letter(Channel& ch, std::uint8_t c, EngineOutput& out);
    void finish_nvm_write(Channel& ch, EngineOutput& out);

    PrinterState& s_;
};

}  // namespace kp28sim
