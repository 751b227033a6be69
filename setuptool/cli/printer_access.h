// Every call the setup commands (show, diff, apply) make into the session, in
// one place: a read as "Read NVM" does it, the write of the image in hand as
// "Write NVM" does it, and a read of the NVM alone to check what the printer
// kept.
#pragma once

#include <kp28setup/editor.h>
#include <kp28setup/session.h>

#include <optional>
#include <string>

#include "setup_data.h"

namespace kp28setup_cli {

class PrinterAccess {
  public:
    // editor: the session's own, whose rows are the window's.
    PrinterAccess(kp28setup::Session& session, kp28setup::Editor& editor)
        : s_(session), ed_(editor) {}

    // Read NVM with its prompt, model query, transfer, checksum check and
    // description; the description from `modules` when given, else the one
    // the printer sent. nullopt with the reason when the read failed.
    std::optional<Setup> read(const std::string& modules, std::string& why);
    // The editor the window would show; its image is the session's.
    kp28setup::Editor& editor() { return ed_; }
    const std::array<std::uint8_t, kp28setup::kNvmSize>& image() const { return s_.nvm_image; }

    // Write NVM of the image in hand, echo check and the save dialog.
    // confirmed: the printer's echo matched; problem: what went wrong, empty
    // when nothing did (a save that failed after a confirmed write, too).
    struct WriteOutcome {
        bool confirmed = false;
        std::string problem;
    };
    WriteOutcome write();
    // The setup file of the image in hand, as a read saves it.
    bool save(const std::string& path);
    // The NVM alone read again (no description): the image, or nullopt with
    // the reason.
    std::optional<Setup> read_back(std::string& why);

  private:
    Setup current(const std::string& source) const;

    kp28setup::Session& s_;
    kp28setup::Editor& ed_;
};

}  // namespace kp28setup_cli
