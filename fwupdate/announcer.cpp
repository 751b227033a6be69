#include "announcer.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace fwupdate {

std::string Announcer::time_stamp() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    time_t seconds = now.tv_sec;
    char text[32] = {};
    if (::ctime_r(&seconds, text) == nullptr) text[0] = '\0';
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%.19s.%hu", text,
                  static_cast<unsigned short>(now.tv_nsec / 1000000));
    return stamp;
}

std::string Announcer::log_line(std::string_view message) {
    const int thread = static_cast<int>(::syscall(SYS_gettid));
    char head[96];
    std::snprintf(head, sizeof head, "(PID=%d)%s ", thread, time_stamp().c_str());
    std::string line(head);
    line.append(message);
    line.push_back('\n');
    return line;
}

void Announcer::log(std::string_view message) const {
    if (log_file_.empty()) return;
    // Opened and closed for every line, so the file is complete whenever the
    // run ends and another program may read it meanwhile.
    std::FILE* f = std::fopen(log_file_.c_str(), "ae");
    if (f == nullptr) return;
    const std::string line = log_line(message);
    std::fwrite(line.data(), 1, line.size(), f);
    std::fflush(f);
    std::fclose(f);
}

void Announcer::console(std::string_view message) {
    std::fwrite(message.data(), 1, message.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Announcer::announce(std::string_view message) const {
    log(message);
    if (verbose_) console(message);
}

}  // namespace fwupdate
