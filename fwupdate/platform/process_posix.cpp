// The process, its working directory, the clock and the OS error texts.
#include <errno.h>
#include <limits.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "platform.h"

namespace fwupdate::platform {

std::string os_error_text(int error) {
    char buffer[256];
    // The GNU strerror_r returns the message, which need not be in buffer.
    return ::strerror_r(error, buffer, sizeof buffer);
}

Result os_failure(int error) {
    return failure(os_error_text(error));
}

long process_id() {
    return static_cast<long>(::getpid());
}

int thread_number() {
    return static_cast<int>(::syscall(SYS_gettid));
}

std::string program_name() {
    return program_invocation_short_name;
}

std::optional<std::string> current_directory() {
    std::vector<char> buffer(PATH_MAX);
    // A path longer than PATH_MAX is possible; grow a few times, then give up.
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr) return std::string(buffer.data());
        if (errno != ERANGE) return std::nullopt;
        buffer.resize(buffer.size() * 4);
    }
    return std::nullopt;
}

LocalTime local_time() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const time_t seconds = now.tv_sec;
    char text[32] = {};
    if (::ctime_r(&seconds, text) == nullptr) text[0] = '\0';
    return {text, static_cast<unsigned short>(now.tv_nsec / 1000000)};
}

}  // namespace fwupdate::platform
