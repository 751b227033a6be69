#include "interruption.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace fwupdate {

namespace {

// Written by the handler only, read by everyone.
volatile sig_atomic_t caught_signal = 0;
// The handler writes one byte here and nobody ever reads it: once a signal
// has come, the read end stays readable and every later wait ends at once.
int wake_pipe[2] = {-1, -1};

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void on_interruption(int sig) {
    const int saved = errno;
    if (caught_signal == 0) caught_signal = sig;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_pipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

bool install_interruption_handlers() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    bool ok = ::sigaction(SIGPIPE, &ignore, nullptr) == 0;
    if (wake_pipe[0] < 0 && ::pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction action {};
    action.sa_handler = on_interruption;
    sigemptyset(&action.sa_mask);
    // System calls that the handler interrupts are restarted: the waits see it
    // through the pipe and the flag, so nothing else has to handle EINTR.
    action.sa_flags = SA_RESTART;
    for (const int sig : kSignals) ok = ::sigaction(sig, &action, nullptr) == 0 && ok;
    return ok;
}

int interruption_signal() {
    return caught_signal;
}

bool wait_unless_interrupted(int ms) {
    if (interrupted()) return true;
    if (wake_pipe[0] < 0) {
        ::usleep(static_cast<useconds_t>(ms) * 1000);
        return interrupted();
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 || interrupted()) return interrupted();
        pollfd p{wake_pipe[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) > 0) return true;
    }
}

const char* interruption_text() {
    switch (interruption_signal()) {
        case SIGINT:
            return "Interrupted by SIGINT";
        case SIGTERM:
            return "Interrupted by SIGTERM";
        case SIGHUP:
            return "Interrupted by SIGHUP";
        default:
            return "Interrupted";
    }
}

}  // namespace fwupdate
