// A printer behind the scripted serial port: answers the setup letters at
// 19200 baud and the identity frames at 9600, with the faults the session
// tests need. It replies at once, so the session's reads find the bytes
// waiting.
#pragma once

#include <kp28/nvm_crc.h>
#include <kp28setup/fake_serial_port.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace setuptest {

using Bytes = std::vector<std::uint8_t>;

struct ScriptedPrinter {
    bool plus = true;
    bool setup_mode = true;
    std::string model_reply;       // empty: "KP28plus   " or "KP28       "
    Bytes image = Bytes(2048, 0);  // what "r" sends
    std::optional<Bytes> length;   // the two length bytes; default by model
    bool bad_checksum = false;
    std::optional<bool> crc_plus;           // byte order of the checksum; default by model
    std::optional<std::size_t> stop_after;  // bytes of the "r" reply sent before it goes silent
    bool echo_mismatch = false;
    bool silent = false;
    std::string name = "KP28Plus";  // normal-mode product name
    std::string version = "1.00A";
    std::string description;  // what "m" sends (nothing when empty)

    Bytes written_image;  // what "w" delivered
    std::size_t w_left = 0;
    int restores = 0;
    bool left_setup = false;

    Bytes nvm_reply() const {
        Bytes out;
        if (length) {
            out = *length;
        } else {
            const auto n = static_cast<std::uint16_t>(image.size());
            out = plus ? Bytes{std::uint8_t(n), std::uint8_t(n >> 8)}
                       : Bytes{std::uint8_t(n >> 8), std::uint8_t(n)};
        }
        out.insert(out.end(), image.begin(), image.end());
        auto crc = kp28::nvm_crc(image, image.size(), crc_plus.value_or(plus));
        if (bad_checksum) crc[0] ^= 0xFF;
        out.insert(out.end(), crc.begin(), crc.end());
        if (stop_after && out.size() > *stop_after) out.resize(*stop_after);
        return out;
    }

    void attach(kp28setup::FakeSerialPort& port) {
        port.responder = [this](kp28setup::FakeSerialPort& p,
                                const kp28setup::FakeSerialPort::Write& w) { on_write(p, w); };
    }

    void on_write(kp28setup::FakeSerialPort& p, const kp28setup::FakeSerialPort::Write& w) {
        if (silent) return;
        if (setup_mode) {
            if (w.settings != "19200,n,8,1") return;
            for (std::uint8_t c : w.bytes) {
                if (w_left > 0) {
                    written_image.push_back(c);
                    if (--w_left == 0) finish_write(p);
                    continue;
                }
                switch (c) {
                    case 'n': {
                        std::string r =
                            model_reply.empty() ? (plus ? "KP28plus" : "KP28") : model_reply;
                        r.resize(11, ' ');
                        p.receive(r);
                        break;
                    }
                    case 'r':
                        p.receive(nvm_reply());
                        break;
                    case 'w':
                        written_image.clear();
                        w_left = image.size() + 4;
                        break;
                    case 'm':
                        if (!description.empty()) p.receive(description);
                        break;
                    case 'R':
                        ++restores;
                        break;
                    case 'g':
                        left_setup = true;
                        setup_mode = false;
                        break;
                    default:
                        break;
                }
            }
            return;
        }
        if (w.settings != "9600,n,8,1" || w.bytes.size() != 7) return;
        const std::uint8_t cls = w.bytes[6];
        Bytes r = {0x14, 0x14, 0x1B, 0x14, cls};
        const std::string text = cls == 1 ? name : version;
        r.insert(r.end(), text.begin(), text.end());
        if (cls == 1) r.push_back(0);
        p.receive(r);
    }

    void finish_write(kp28setup::FakeSerialPort& p) {
        Bytes echo(written_image.end() - 4, written_image.end());
        if (echo_mismatch) echo[3] ^= 0x01;
        p.receive(echo);
    }
};

}  // namespace setuptest
