// The library's two report channels.
//
// errlog: one line per exported call and one at load; off unless WLOGERR is
// exactly "on", outputs chosen by the words of WLOGMODE. trace: the step by
// step messages of the USB side, always sent to the debugger output. Neither
// ever changes the last error code.
//
// Both follow the environment as it stands at each line, yet a line that
// nobody receives costs no look-up of a variable: what WLOGERR, WLOGMODE and
// KP28WRAP_DEBUG_OUT decide is kept with a fingerprint of the environment and
// read again only when the fingerprint changes (any setenv, putenv or
// unsetenv). An exported call looks once, at its entry (CallSettings); the
// trace lines it makes follow that look. The other variables (WLOGFILE,
// WLOGSIZE, TMPDIR) are read when a line is actually written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kp28wrap {

// Output bits of log_write.
enum LogOutput : unsigned {
    kLogFile = 1,      // WLOGFILE (or standard output when it reads "stdout")
    kLogDebugger = 2,  // debugger output (syslog + KP28WRAP_DEBUG_OUT)
    kLogStderr = 4,    // standard error
    kLogVariable = 8,  // memory copy, last_log_line
};

constexpr size_t kMaxLogLine = 4095;
constexpr size_t kMaxTraceMessage = 255;
constexpr size_t kMaxLogFileName = 127;

// The settings for one exported call on this thread, from its entry to its
// end; lines of the library's own threads look for themselves.
class CallSettings {
  public:
    CallSettings();
    ~CallSettings();
    CallSettings(const CallSettings&) = delete;
    CallSettings& operator=(const CallSettings&) = delete;

  private:
    uint64_t outer_;
};

void errlog(const char* text);
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_write(const char* line, unsigned outputs);

// True when word is one of the colon-separated words of list (whole words, case counts).
bool has_token(const char* list, const char* word);

// Expands %VAR%, ${VAR} and $VAR from the environment; references to unset
// variables are kept as written.
std::string expand_env_refs(std::string_view text);

// The log file name that the next line would use: WLOGFILE expanded, or
// $TMPDIR/kp28wrap.log (TMPDIR unset: /tmp). Empty if it does not fit in 127
// characters.
std::string log_file_name();

// The memory copy of the latest line (LOG_VARIABLE output).
std::string last_log_line();

}  // namespace kp28wrap
