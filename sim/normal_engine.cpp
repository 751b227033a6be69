// The normal-mode dialogue. The printer is honest to it: it answers only what
// it accepts. Commands of a mode that is not open (except leaving it, which is
// acknowledged), frames of unknown shape and letters are swallowed without an
// answer; a command inside a mode that carries the wrong token is refused with
// an acknowledgement that carries the printer's own token, which the tool sees
// as a wrong token.
#include <kp28/protocol/commands.h>
#include <kp28/protocol/setup.h>

#include <algorithm>
#include <cstdio>

#include "kp28sim/engine.h"

namespace kp28sim {

namespace {

std::string hex2(std::uint8_t b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", b);
    return buf;
}

std::uint8_t next_token(std::uint8_t t) {
    ++t;
    return t == 0 ? 1 : t;
}

}  // namespace

void NormalEngine::input(Channel& ch, std::span<const std::uint8_t> bytes, EngineOutput& out) {
    auto& in = ch.in;
    in.insert(in.end(), bytes.begin(), bytes.end());
    // A restart or a change of mode ends what this dialogue reads.
    auto stopped = [&] { return out.restart.has_value() || s_.setup_mode; };
    std::size_t pos = 0;
    while (pos < in.size() && !stopped()) {
        if (ch.rx == Channel::Rx::ImageData) {
            const std::size_t k = std::min(ch.raw_left, in.size() - pos);
            s_.image.data.insert(s_.image.data.end(), in.begin() + static_cast<std::ptrdiff_t>(pos),
                                 in.begin() + static_cast<std::ptrdiff_t>(pos + k));
            pos += k;
            ch.raw_left -= k;
            if (ch.raw_left == 0) image_complete(ch, out);
            continue;
        }
        if (ch.rx == Channel::Rx::UsbIdText) {
            const std::uint8_t c = in[pos++];
            if (c == 0) {
                usb_id_written(ch, out);
            } else if (ch.id_text.size() < kp28::kUsbIdLength) {
                ch.id_text.push_back(static_cast<char>(c));
            } else {
                ch.id_too_long = true;
            }
            continue;
        }
        // What is not a frame is print data, and the virtual printer has no paper.
        const auto f = kp28::find_frame(std::span<const std::uint8_t>(in).subspan(pos));
        if (f.status != kp28::FrameSearch::kComplete) {
            pos += f.start;
            break;
        }
        const std::size_t base = pos;
        pos = base + f.end;
        const std::vector<std::uint8_t> payload(
            in.begin() + static_cast<std::ptrdiff_t>(base + f.payload_begin),
            in.begin() + static_cast<std::ptrdiff_t>(base + f.end));
        frame(payload, ch, out);
    }
    if (stopped()) pos = in.size();
    in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(std::min(pos, in.size())));
}

void NormalEngine::ack(std::uint8_t cls, std::uint8_t t, EngineOutput& out) {
    out.replies.push_back(kp28::replies::ack(cls, t));
}

// The token that acknowledgements inside a mode carry.
std::uint8_t NormalEngine::ack_token() const {
    if (s_.faults.ack_byte) return *s_.faults.ack_byte;
    if (s_.faults.wrong_token) return next_token(s_.token);
    return s_.token;
}

void NormalEngine::frame(std::span<const std::uint8_t> p, Channel& ch, EngineOutput& out) {
    if (p.empty()) return;
    const auto cmd = kp28::parse_command(p);
    switch (p[0]) {
        case kp28::kReplyProductName:
            if (cmd) {
                out.replies.push_back(kp28::replies::product_name(s_.name));
                out.events.push_back("product name query answered");
            }
            return;
        case kp28::kReplyFirmwareVersion:
            if (cmd) {
                out.replies.push_back(kp28::replies::firmware_version(s_.version));
                out.events.push_back("firmware version query answered: " + s_.version);
            }
            return;
        case kp28::kClassDllMode:
            dll_frame(p, ch, out);
            return;
        case kp28::kClassUsbIdMode:
            if (s_.usb_id_feature) usb_id_frame(p, ch, out);
            return;
        case kp28::kClassLoadSetup:
            load_setup(p, out);
            return;
        default:
            return;
    }
}

bool NormalEngine::enter(std::uint8_t cls, PrinterState::Session session, const char* what,
                         EngineOutput& out) {
    if (s_.faults.zero_token) {
        s_.session = PrinterState::Session::None;
        s_.token = 0;
        ack(cls, 0, out);
        out.events.push_back(std::string("refused to enter ") + what + " (token 0)");
        return false;
    }
    s_.last_token = next_token(s_.last_token);
    s_.token = s_.last_token;
    s_.session = session;
    ack(cls, s_.token, out);
    out.events.push_back(std::string("entered ") + what + ", token " + hex2(s_.token));
    return true;
}

// A command of an open mode: true when its token is the printer's. A wrong
// token is refused with the printer's own token.
bool NormalEngine::token_ok(std::uint8_t cls, std::uint8_t t, EngineOutput& out) {
    if (t == s_.token) return true;
    ack(cls, s_.token, out);
    out.events.push_back("refused a command with token " + hex2(t) + " (mine is " + hex2(s_.token) +
                         ")");
    return false;
}

// Leaving a mode that is not open (it ended with a restart, or was never
// entered) is acknowledged with the token the command carries: there is
// nothing to refuse, and the updater sends exactly this after a reboot and
// waits for its acknowledgement.
void NormalEngine::leave_closed_mode(std::uint8_t cls, std::uint8_t t, const char* what,
                                     EngineOutput& out) {
    ack(cls, s_.faults.ack_byte.value_or(t), out);
    out.events.push_back(std::string("leave ") + what + " while not in it: acknowledged");
}

void NormalEngine::dll_frame(std::span<const std::uint8_t> p, Channel& ch, EngineOutput& out) {
    using kp28::Command;
    constexpr std::uint8_t kDll = kp28::kClassDllMode;
    const std::size_t len = p.size();
    const auto cmd = kp28::parse_command(p);
    if (cmd && cmd->kind == Command::kEnterDllMode) {
        enter(kDll, PrinterState::Session::Dll, "DLL mode", out);
        return;
    }
    if (cmd && cmd->kind == Command::kLeaveDllMode && s_.session != PrinterState::Session::Dll) {
        leave_closed_mode(kDll, p[1], "DLL mode", out);
        return;
    }
    if (s_.session != PrinterState::Session::Dll || len < 2)
        return;  // no DLL mode open: not a command
    // The shapes the printer reads a token from; only the exact commands
    // among them are carried out.
    const bool shape_ok =
        len == 2 ||
        ((len == 3 || len == kp28::kImageSizePayload || len == kp28::kImageSizeHeaderPayload) &&
         p[2] >= kp28::kDllImageSize && p[2] <= kp28::kDllReboot);
    if (!shape_ok) return;
    if (!token_ok(kDll, p[1], out)) return;
    if (!cmd) return;
    switch (cmd->kind) {
        case Command::kLeaveDllMode:
            ack(kDll, ack_token(), out);
            s_.session = PrinterState::Session::None;
            out.events.push_back("left DLL mode");
            return;
        case Command::kImageSize:
            s_.image = LoadedImage{};
            s_.image.size = cmd->image_size;
            s_.image.header = cmd->header;
            s_.size_known = true;
            ack(kDll, ack_token(), out);
            out.events.push_back("image size " + std::to_string(s_.image.size) +
                                 (s_.image.header ? " with header" : " without header"));
            return;
        case Command::kImageData:
            if (!s_.size_known) return;  // nothing announced: the printer cannot take data
            s_.image.data.clear();
            s_.image.complete = false;
            ch.raw_left = s_.image.size;
            out.events.push_back("receiving " + std::to_string(s_.image.size) + " image bytes");
            if (ch.raw_left == 0)
                image_complete(ch, out);
            else
                ch.rx = Channel::Rx::ImageData;
            return;
        case Command::kWriteFlash: {
            const std::string old = s_.version;
            if (s_.image.complete) s_.version = version_after_load(s_.version_rule, old, s_.image);
            out.events.push_back("write flash: firmware " + old + " -> " + s_.version);
            out.restart = EngineOutput::Restart{"write flash"};
            return;
        }
        case Command::kReboot:
            out.restart = EngineOutput::Restart{"reboot command"};
            return;
        default:
            return;
    }
}

void NormalEngine::image_complete(Channel& ch, EngineOutput& out) {
    ch.rx = Channel::Rx::Frame;
    s_.image.complete = true;
    s_.size_known = false;
    ack(kp28::kClassDllMode, ack_token(), out);
    out.events.push_back("image received, " + std::to_string(s_.image.data.size()) + " bytes");
}

void NormalEngine::usb_id_frame(std::span<const std::uint8_t> p, Channel& ch, EngineOutput& out) {
    using kp28::Command;
    constexpr std::uint8_t kUsbId = kp28::kClassUsbIdMode;
    const auto cmd = kp28::parse_command(p);
    if (cmd && cmd->kind == Command::kEnterUsbIdMode) {
        enter(kUsbId, PrinterState::Session::UsbId, "USB-ID mode", out);
        return;
    }
    if (cmd && cmd->kind == Command::kLeaveUsbIdMode &&
        s_.session != PrinterState::Session::UsbId) {
        leave_closed_mode(kUsbId, p[1], "USB-ID mode", out);
        return;
    }
    if (s_.session != PrinterState::Session::UsbId || !cmd) return;
    if (!token_ok(kUsbId, p[1], out)) {
        // A refused write still has its text on the line; swallow it.
        if (cmd->kind == Command::kWriteUsbId) {
            ch.rx = Channel::Rx::UsbIdText;
            ch.id_text.clear();
            ch.id_too_long = true;
        }
        return;
    }
    if (cmd->kind == Command::kLeaveUsbIdMode) {
        ack(kUsbId, ack_token(), out);
        s_.session = PrinterState::Session::None;
        out.events.push_back("left USB-ID mode");
    } else if (cmd->kind == Command::kReadUsbId) {
        out.replies.push_back(kp28::replies::usb_id(ack_token(), s_.usb_id));
        out.events.push_back("USB identifier read: " + s_.usb_id);
    } else {
        ch.rx = Channel::Rx::UsbIdText;
        ch.id_text.clear();
        ch.id_too_long = false;
    }
}

void NormalEngine::usb_id_written(Channel& ch, EngineOutput& out) {
    ch.rx = Channel::Rx::Frame;
    if (ch.id_too_long) {
        out.events.push_back("USB identifier write refused");
    } else {
        s_.usb_id = ch.id_text;
        ack(kp28::kClassUsbIdMode, ack_token(), out);
        out.events.push_back("USB identifier written: " + s_.usb_id);
    }
    ch.id_text.clear();
}

void NormalEngine::load_setup(std::span<const std::uint8_t> p, EngineOutput& out) {
    const auto setup = kp28::parse_load_setup_payload(p);
    if (!setup || setup->image.size() != kNvmSize) {
        out.events.push_back("load-setup frame refused: " + std::to_string(p.size() - 1) +
                             " bytes after the class");
        return;
    }
    if (s_.faults.bad_nvm_checksum ||
        kp28::model_nvm_checksum(s_.model, setup->image) != setup->checksum) {
        out.events.push_back("load-setup frame refused: checksum mismatch");
        return;
    }
    s_.nvm = setup->image;
    ++s_.setup_frames;
    out.events.push_back("load-setup frame applied");
}

}  // namespace kp28sim
