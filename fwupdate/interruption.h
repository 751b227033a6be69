// Ending a run early. SIGINT, SIGTERM and SIGHUP do not kill the updater: the
// handler only notes the signal and wakes whoever waits, and every wait of
// the run (printer writes and reads, the restart pauses, network transfers)
// checks for it, gives up and lets the operation fail through its ordinary
// path, so temporary files are removed and the closing line is written.
// SIGPIPE is ignored: a console reader that goes away (`... | head -c 100`)
// must not end the job; writes to standard output then fail and are ignored.
#pragma once

#include <string>

namespace fwupdate {

// Installs the handlers; call once, before any other thread starts. False
// when they could not be installed (the run goes on without them).
bool install_interruption_handlers();

// The first signal that interrupted the run, 0 while none did.
int interruption_signal();
inline bool interrupted() {
    return interruption_signal() != 0;
}

// Waits for up to ms milliseconds; returns early, with true, once the run is
// interrupted.
bool wait_unless_interrupted(int ms);

// "Interrupted by SIGTERM"
std::string interruption_text();

}  // namespace fwupdate
