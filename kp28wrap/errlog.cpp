#include "errlog.h"

#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/platform.h"

namespace kp28wrap {

namespace {

// The memory copy. The log has no lock of its own, but callers on different
// threads may log at once, so the copy gets one: a torn line would be a data race.
std::mutex g_last_line_mu;
char g_last_log_line[kMaxLogLine + 1];

constexpr long long kDefaultLogSizeMb = 2;

// What the environment says about the two channels, as one word: the
// environment's fingerprint in the high bits, and below it the error log's
// outputs (none unless WLOGERR is "on" and WLOGMODE chooses some), whether
// KP28WRAP_DEBUG_OUT names a copy of the debugger output, and a valid bit.
// One word, so that threads refreshing it at once never leave a fingerprint
// beside flags of another environment.
constexpr uint64_t kOutputBits = 0xF;
constexpr uint64_t kDebugCopyBit = 0x10;
constexpr uint64_t kValidBit = 0x20;
constexpr uint64_t kFingerprintMask = ~uint64_t{0x3F};
std::atomic<uint64_t> g_env_word{0};

// The word for the export in progress on this thread (see CallSettings).
thread_local uint64_t t_call_word = 0;

uint64_t read_env_word(uint64_t fingerprint) {
    uint64_t word = (fingerprint & kFingerprintMask) | kValidBit;
    const char* on = std::getenv("WLOGERR");
    const char* mode = std::getenv("WLOGMODE");
    if (on && std::strcmp(on, "on") == 0 && mode) {
        if (has_token(mode, "LOG_FILE") || has_token(mode, "LOG_FILE_CAN")) word |= kLogFile;
        if (has_token(mode, "LOG_SYSMSG") || has_token(mode, "LOG_SYSMSG_CAN")) word |= kLogStderr;
        if (has_token(mode, "LOG_ERRORD") || has_token(mode, "LOG_ERRORD_CAN"))
            word |= kLogDebugger;
        if (has_token(mode, "LOG_VARIABLE") || has_token(mode, "LOG_VARIABLE_CAN"))
            word |= kLogVariable;
    }
    const char* copy = std::getenv("KP28WRAP_DEBUG_OUT");
    if (copy && *copy) word |= kDebugCopyBit;
    return word;
}

// The settings as the environment stands: read afresh only when it changed
// since they were last read, so a quiet process reads no variable per line.
uint64_t env_word() {
    const uint64_t fingerprint = platform::environment_fingerprint() & kFingerprintMask;
    const uint64_t word = g_env_word.load(std::memory_order_relaxed);
    if ((word & kValidBit) && (word & kFingerprintMask) == fingerprint) return word;
    // Read after the fingerprint: a change in between is seen by the next line.
    const uint64_t fresh = read_env_word(fingerprint);
    g_env_word.store(fresh, std::memory_order_relaxed);
    return fresh;
}

uint64_t current_word() {
    return t_call_word ? t_call_word : env_word();
}

bool is_name_start(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_';
}
bool is_name_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

long long log_size_limit() {
    long long mb = kDefaultLogSizeMb;
    if (const char* s = std::getenv("WLOGSIZE")) {
        int v = 0;
        if (std::sscanf(s, "%d", &v) == 1) mb = v;
    }
    return mb * 1048576LL;
}

void write_line(FILE* f, const char* line) {
    // One call per output, the line end included, so lines of different
    // threads do not run together.
    std::string text = line;
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), f);
    std::fflush(f);
}

void write_log_file(const char* line) {
    const std::string name = log_file_name();
    if (name.empty()) return;
    if (name == "stdout") {
        write_line(stdout, line);
        return;
    }
    // The default file lives in a directory that everyone may write to: a
    // link planted there must not lead the log into someone else's file.
    const char* chosen = std::getenv("WLOGFILE");
    std::string text = line;
    text += '\n';
    platform::append_log_file(name, text, log_size_limit(), chosen != nullptr);
}

void write_outputs(const char* line, unsigned outputs);

}  // namespace

CallSettings::CallSettings() : outer_(t_call_word) {
    t_call_word = env_word();
}

CallSettings::~CallSettings() {
    t_call_word = outer_;
}

bool has_token(const char* list, const char* word) {
    if (!list || !word || !*list) return false;
    const size_t wlen = std::strlen(word);
    const char* p = list;
    for (;;) {
        const char* end = std::strchr(p, ':');
        const size_t len = end ? static_cast<size_t>(end - p) : std::strlen(p);
        if (len == wlen && std::strncmp(p, word, len) == 0) return true;
        if (!end) return false;
        p = end + 1;
    }
}

std::string expand_env_refs(std::string_view text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '%') {
            const size_t close = text.find('%', i + 1);
            if (close != std::string_view::npos && close > i + 1) {
                const std::string name(text.substr(i + 1, close - i - 1));
                if (const char* v = std::getenv(name.c_str())) {
                    out += v;
                    i = close + 1;
                    continue;
                }
            }
        } else if (c == '$' && i + 1 < text.size() && text[i + 1] == '{') {
            const size_t close = text.find('}', i + 2);
            if (close != std::string_view::npos) {
                const std::string name(text.substr(i + 2, close - i - 2));
                if (const char* v = name.empty() ? nullptr : std::getenv(name.c_str())) {
                    out += v;
                    i = close + 1;
                    continue;
                }
            }
        } else if (c == '$' && i + 1 < text.size() && is_name_start(text[i + 1])) {
            size_t end = i + 1;
            while (end < text.size() && is_name_char(text[end])) ++end;
            const std::string name(text.substr(i + 1, end - i - 1));
            if (const char* v = std::getenv(name.c_str())) {
                out += v;
                i = end;
                continue;
            }
        }
        out += c;
        ++i;
    }
    return out;
}

std::string log_file_name() {
    std::string name;
    if (const char* f = std::getenv("WLOGFILE")) {
        name = expand_env_refs(f);
    } else {
        const char* tmp = std::getenv("TMPDIR");
        name = std::string(tmp && *tmp ? tmp : "/tmp") + "/kp28wrap.log";
    }
    if (name.size() > kMaxLogFileName) return {};
    return name;
}

std::string last_log_line() {
    std::lock_guard<std::mutex> lock(g_last_line_mu);
    return g_last_log_line;
}

void log_write(const char* line, unsigned outputs) {
    // Logging never fails an operation: a line that cannot be written is lost.
    try {
        write_outputs(line, outputs);
    } catch (...) {
    }
}

namespace {
void write_outputs(const char* line, unsigned outputs) {
    if (outputs & kLogFile) write_log_file(line);
    if (outputs & kLogVariable) {
        std::lock_guard<std::mutex> lock(g_last_line_mu);
        std::strncpy(g_last_log_line, line, kMaxLogLine);
        g_last_log_line[kMaxLogLine] = '\0';
    }
    if (outputs & kLogStderr) write_line(stderr, line);
    if (outputs & kLogDebugger) platform::debug_output(line, std::getenv("KP28WRAP_DEBUG_OUT"));
}
}  // namespace

void errlog(const char* text) {
    const unsigned bits = static_cast<unsigned>(current_word() & kOutputBits);
    if (!bits) return;
    char line[kMaxLogLine + 1];
    std::snprintf(line, sizeof line, "ERRLOG - %s", text ? text : "");
    log_write(line, bits);
}

void trace(const char* format, ...) {
    // The trace runs several times per transfer: it is formatted only when
    // someone listens, and then straight behind its prefix.
    if (!(current_word() & kDebugCopyBit) && !platform::syslog_available()) return;
    static constexpr char kPrefix[] = "kp28wrap - ";
    char line[sizeof kPrefix - 1 + kMaxTraceMessage + 1];
    std::memcpy(line, kPrefix, sizeof kPrefix - 1);
    va_list args;
    va_start(args, format);
    std::vsnprintf(line + sizeof kPrefix - 1, kMaxTraceMessage + 1, format, args);
    va_end(args);
    log_write(line, kLogDebugger);
}

}  // namespace kp28wrap
