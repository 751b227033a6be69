// Time limits of the serial dialogue. The printer's own pauses are fixed by the
// dialogue; these bound every wait that would otherwise last until the printer
// spoke. The defaults are far above what a printer at 19200 baud needs (one
// byte every 0.52 ms once it sends); KP28SETUP_READ_TIMEOUT_MS replaces all of
// the reply limits with one shorter value for tests, and
// KP28SETUP_DESCRIPTION_TIMEOUT_MS the description's.
#pragma once

#include <chrono>

namespace kp28setup {

struct TimeLimits {
    // Between two bytes of a reply, and before the first byte of an NVM image.
    std::chrono::milliseconds byte{3000};
    // Before the first byte of the checksum echo: the printer stores its NVM first.
    std::chrono::milliseconds echo{20000};
    // For the line to take a write.
    std::chrono::milliseconds write{5000};
    // For queued bytes to leave before a close.
    std::chrono::milliseconds drain{3000};
    // For a TCP connection to the printer to be made.
    std::chrono::milliseconds lan_connect{12000};
    // For a parallel port or a TCP connection to take a whole file.
    std::chrono::milliseconds link_write{60000};
    // For the whole parameter description: a real printer's largest (1001
    // rows) takes about half of it at 19200 baud; one that never sends its
    // end line is stopped here.
    std::chrono::milliseconds description{60000};

    static TimeLimits from_environment();
};

}  // namespace kp28setup
