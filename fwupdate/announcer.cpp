#include "announcer.h"

#include <cstdio>

#include "platform/platform.h"

namespace fwupdate {

std::string Announcer::time_stamp() {
    const platform::LocalTime now = platform::local_time();
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%.19s.%hu", now.text.c_str(), now.milliseconds);
    return stamp;
}

std::string Announcer::log_line(std::string_view message) {
    const int thread = platform::thread_number();
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
