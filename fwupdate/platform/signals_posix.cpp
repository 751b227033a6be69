// Signals that end a run. The handler only notes the signal and writes a byte
// to a pipe that nobody reads: once a signal has come, the read end stays
// readable and every later wait ends at once.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "platform.h"

namespace fwupdate::platform {

namespace {

// Written by the handler only, read by everyone.
volatile sig_atomic_t caught = 0;
int wake_pipe[2] = {-1, -1};

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void on_signal(int sig) {
    const int saved = errno;
    if (caught == 0) caught = sig;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_pipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

bool install_signal_handlers() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    bool ok = ::sigaction(SIGPIPE, &ignore, nullptr) == 0;
    if (wake_pipe[0] < 0 && ::pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    // System calls that the handler interrupts are restarted: the waits see it
    // through the pipe and the flag, so nothing else has to handle EINTR.
    action.sa_flags = SA_RESTART;
    for (const int sig : kSignals) ok = ::sigaction(sig, &action, nullptr) == 0 && ok;
    return ok;
}

int caught_signal() {
    return caught;
}

const char* signal_name(int signal) {
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return nullptr;
    }
}

bool wait_for_signal(int ms) {
    if (caught != 0) return true;
    if (wake_pipe[0] < 0) {
        ::usleep(static_cast<useconds_t>(ms) * 1000);
        return caught != 0;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 || caught != 0) return caught != 0;
        pollfd p{wake_pipe[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) > 0) return true;
    }
}

}  // namespace fwupdate::platform
