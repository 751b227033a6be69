// kp28setup's exit statuses and the names of the signals that end a run,
// shared by its commands.
#pragma once

#include <signal.h>

#include <string>

namespace kp28setup_cli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

inline std::string signal_name(int sig) {
    switch (sig) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "signal " + std::to_string(sig);
    }
}

}  // namespace kp28setup_cli
