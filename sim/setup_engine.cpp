// The setup-mode dialogue: one letter per command, and after "w" the image
// and its checksum as raw bytes.
#include <kp28/protocol/setup.h>

#include "kp28sim/engine.h"

namespace kp28sim {

void SetupEngine::input(Channel& ch, std::span<const std::uint8_t> bytes, EngineOutput& out) {
    for (const std::uint8_t b : bytes) {
        if (!s_.setup_mode) return;  // "g" ends the letters
        if (ch.setup_left > 0) {
            ch.setup_in.push_back(b);
            if (--ch.setup_left == 0) finish_nvm_write(ch, out);
            continue;
        }
        letter(ch, b, out);
    }
}

void SetupEngine::letter(Channel& ch, std::uint8_t c, EngineOutput& out) {
    switch (c) {
        case kp28::kSetupModelName: {
            const std::string reply = kp28::model_name_reply(s_.name);
            out.replies.emplace_back(reply.begin(), reply.end());
            out.events.push_back("setup: model query answered \"" + reply + "\"");
            break;
        }
        case kp28::kSetupReadNvm: {
            std::vector<std::uint8_t> body = s_.nvm;
            if (s_.faults.nvm_length_2049) body.push_back(0);
            auto crc = kp28::model_nvm_checksum(s_.model, body);
            if (s_.faults.bad_nvm_checksum) crc[0] ^= 0xFF;
            out.replies.push_back(kp28::nvm_read_reply(s_.model, body, crc));
            out.events.push_back("setup: NVM read, " + std::to_string(body.size()) + " bytes");
            break;
        }
        case kp28::kSetupWriteNvm:
            ch.setup_in.clear();
            ch.setup_left = kNvmSize + 4;
            out.events.push_back("setup: NVM write started");
            break;
        case kp28::kSetupRestoreDefaults:
            s_.nvm = s_.mfg;
            out.events.push_back("setup: manufacturing defaults restored");
            break;
        case kp28::kSetupDescription:
            out.replies.emplace_back(s_.description.begin(), s_.description.end());
            out.events.push_back("setup: parameter description sent");
            break;
        case kp28::kSetupLeave:
            s_.setup_mode = false;
            ch.setup_left = 0;
            out.events.push_back("setup: left setup mode");
            break;
        default:
            break;  // not a command of the setup dialogue
    }
}

void SetupEngine::finish_nvm_write(Channel& ch, EngineOutput& out) {
    const auto body = kp28::parse_nvm_write_body(ch.setup_in, kNvmSize);
    ch.setup_in.clear();
    if (!body) return;  // cannot happen: the count above took exactly this many
    const auto mine = kp28::model_nvm_checksum(s_.model, body->image);
    const bool match = mine == body->checksum;
    kp28::NvmChecksum echo = body->checksum;
    if (match && !s_.faults.bad_nvm_checksum) {
        s_.nvm = body->image;
        if (const auto at = s_.faults.nvm_store_flips_byte; at && *at < s_.nvm.size())
            s_.nvm[*at] ^= 0xFF;
        ++s_.nvm_writes;
        out.events.push_back("setup: NVM written, checksum echoed");
    } else {
        // The printer answers with what it computed; the image is not kept.
        echo = mine;
        if (match) echo[0] ^= 0xFF;
        out.events.push_back("setup: NVM write refused, checksum mismatch");
    }
    out.replies.emplace_back(echo.begin(), echo.end());
}

}  // namespace kp28sim
