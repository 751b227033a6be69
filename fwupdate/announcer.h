// Progress and error messages of a run: every message becomes one line of the
// log file and, when verbose, one line on standard output.
#pragma once

#include <string>
#include <string_view>

namespace fwupdate {

class Announcer {
  public:
    Announcer() = default;
    Announcer(std::string log_file, bool verbose)
        : log_file_(std::move(log_file)), verbose_(verbose) {}

    void set_log_file(std::string path) { log_file_ = std::move(path); }
    void set_verbose(bool on) { verbose_ = on; }
    bool verbose() const { return verbose_; }

    // Log line, plus the console line when verbose.
    void announce(std::string_view message) const;
    // Log line only.
    void log(std::string_view message) const;
    // Console line only (standard output, whatever verbose says).
    static void console(std::string_view message);

    // "(PID=<thread number>)<time stamp> <message>\n". The message is copied
    // as it stands: a % in a URL, a path or a typed identifier is text, never
    // a conversion.
    static std::string log_line(std::string_view message);
    // "%.19s.%hu": weekday, month, day and time of day of the local time, then
    // the milliseconds without leading zeros.
    static std::string time_stamp();

  private:
    std::string log_file_;
    bool verbose_ = false;
};

}  // namespace fwupdate
