// The library's two report channels.
//
// errlog: one line per exported call and one at load; off unless WLOGERR is
// exactly "on", outputs chosen by the words of WLOGMODE. trace: the step by
// step messages of the USB side, always sent to the debugger output. Both read
// the environment afresh at every line and never change the last error code.
#pragma once

#include <cstddef>
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
