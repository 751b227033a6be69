#include "errlog.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "platform/platform.h"

namespace kp28wrap {

namespace {

// The memory copy. The log has no lock of its own, but callers on different
// threads may log at once, so the copy gets one: a torn line would be a data race.
std::mutex g_last_line_mu;
char g_last_log_line[kMaxLogLine + 1];

constexpr long long kDefaultLogSizeMb = 2;

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
    namespace fs = std::filesystem;
    std::error_code ec;
    const auto size = fs::file_size(name, ec);
    if (!ec && static_cast<long long>(size) > log_size_limit()) {
        const std::string old = name + ".old";
        fs::remove(old, ec);
        fs::rename(name, old, ec);  // a refused rename leaves the file growing
    }
    FILE* f = std::fopen(name.c_str(), "a");
    if (!f) return;
    write_line(f, line);
    std::fclose(f);
}

void write_outputs(const char* line, unsigned outputs);

}  // namespace

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
    if (outputs & kLogDebugger) platform::debug_output(line);
}
}  // namespace

void errlog(const char* text) {
    const char* on = std::getenv("WLOGERR");
    if (!on || std::strcmp(on, "on") != 0) return;
    char line[kMaxLogLine + 1];
    std::snprintf(line, sizeof line, "ERRLOG - %s", text ? text : "");
    const char* mode = std::getenv("WLOGMODE");
    if (!mode) return;
    unsigned bits = 0;
    if (has_token(mode, "LOG_FILE") || has_token(mode, "LOG_FILE_CAN")) bits |= kLogFile;
    if (has_token(mode, "LOG_SYSMSG") || has_token(mode, "LOG_SYSMSG_CAN")) bits |= kLogStderr;
    if (has_token(mode, "LOG_ERRORD") || has_token(mode, "LOG_ERRORD_CAN")) bits |= kLogDebugger;
    if (has_token(mode, "LOG_VARIABLE") || has_token(mode, "LOG_VARIABLE_CAN"))
        bits |= kLogVariable;
    if (bits) log_write(line, bits);
}

void trace(const char* format, ...) {
    // The trace runs several times per transfer: it is formatted only when
    // someone listens, and then straight behind its prefix.
    if (!platform::debug_output_active()) return;
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
