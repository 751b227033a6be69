#include "interruption.h"

#include "platform/platform.h"

namespace fwupdate {

bool install_interruption_handlers() {
    return platform::install_signal_handlers();
}

int interruption_signal() {
    return platform::caught_signal();
}

bool wait_unless_interrupted(int ms) {
    return platform::wait_for_signal(ms);
}

std::string interruption_text() {
    const char* name = platform::signal_name(interruption_signal());
    return name != nullptr ? std::string("Interrupted by ") + name : std::string("Interrupted");
}

}  // namespace fwupdate
