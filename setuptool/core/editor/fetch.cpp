// The description from the printer: "m", then lines up to the end line, each
// stored as received in modules.txt.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "kp28setup/editor.h"

namespace kp28setup {

namespace {

constexpr const char* kEndLine = "Z\t\r\n";
constexpr const char* kNotReceived = "parameter description not received";
// Far above any printer's description (1001 rows of a few dozen bytes); a
// printer that keeps talking without an end line is stopped here.
constexpr std::size_t kMaxDescription = 1024 * 1024;

std::string absolute_path(const std::string& path) {
    std::error_code ec;
    const auto p = std::filesystem::absolute(path, ec);
    return ec ? path : p.string();
}

}  // namespace

FetchResult Editor::fetch_modules_file() {
    FetchResult r;
    if (!session_) {
        r.problem = "no printer session";
        return r;
    }
    int file_error = 0;
    std::FILE* file = std::fopen(modules_path_.c_str(), "wb");
    if (!file) file_error = errno;
    try {
        session_->send_com("m");
        for (;;) {
            const std::string line = session_->read_com_line();
            r.bytes += line;
            if (file && std::fwrite(line.data(), 1, line.size(), file) != line.size() &&
                !file_error)
                file_error = errno ? errno : EIO;
            if (line == kEndLine) break;
            if (r.bytes.size() > kMaxDescription)
                throw CommError(kErrIo,
                                "no end line after " + std::to_string(r.bytes.size()) + " bytes");
        }
        r.ok = true;
    } catch (const CommError& e) {
        if (e.code() == kErrTimeout && session_->last_comm_error.empty())
            session_->last_comm_error = "TimeOut";
        session_->failed_operation = std::string(kNotReceived) + " (" + e.what() + ")";
        session_->show_comm_error();
        r.problem = std::string("The parameter description was not received: ") + e.what();
    }
    if (file && std::fclose(file) != 0 && !file_error) file_error = errno ? errno : EIO;
    if (file_error) {
        // The editor is still built from what arrived; the file is only its record.
        const std::string text =
            "modules.txt could not be written: " + absolute_path(modules_path_) + ": " +
            std::strerror(file_error);
        session_->show_message("WARNING", text, Icon::Critical);
        fetch_warnings_.push_back(text);
    }
    return r;
}

void Editor::build_editor() {
    if (!session_) return;
    FetchResult f = fetch_modules_file();
    if (f.ok) {
        build_from_description(f.bytes);
        return;
    }
    // The rows of the last build describe an image that has been replaced.
    if (observer_) observer_->build_started();
    clear_editor();
    reset_build();
    warnings_.push_back(f.problem);
    complete_ = false;
    set_content(0, 0);
    session_->show_status(f.problem);
    if (observer_) observer_->build_finished(0, warnings_);
}

}  // namespace kp28setup
