// The description from the printer: "m", then lines up to the end line, kept
// in modules.txt exactly as received.
#include <chrono>
#include <filesystem>

#include "kp28setup/editor.h"
#include "kp28setup/files.h"

namespace kp28setup {

namespace {

constexpr const char* kEndLine = "Z\t\r\n";
constexpr const char* kNotReceived = "parameter description not received";
// What the largest editor can need: 1001 parameter rows and as many titles,
// the end line, and lines far longer than a record with a long item list.
// A printer that keeps talking without an end line is stopped here, or by
// the description's time limit, whichever comes first.
constexpr std::size_t kMaxRecordLines = 2 * 1001 + 1;
constexpr std::size_t kMaxRecordLine = 4096;
constexpr std::size_t kMaxDescription = 512 * 1024;

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
    const auto& limits = session_->limits();
    const auto deadline = std::chrono::steady_clock::now() + limits.description;
    try {
        session_->send_com("m");
        for (std::size_t lines = 1;; ++lines) {
            const std::string line = session_->read_com_line(kMaxRecordLine, deadline);
            r.bytes += line;
            if (line == kEndLine) break;
            if (lines >= kMaxRecordLines || r.bytes.size() >= kMaxDescription)
                throw CommError(kErrIo, "no end line after " + std::to_string(lines) + " lines (" +
                                            std::to_string(r.bytes.size()) + " bytes)");
        }
        r.ok = true;
    } catch (const CommError& e) {
        const bool late = e.code() == kErrPastDeadline;
        if ((e.code() == kErrTimeout || late) && session_->last_comm_error.empty())
            session_->last_comm_error = "TimeOut";
        const std::string why =
            late ? "no end line within " + std::to_string(limits.description.count()) + " ms"
                 : e.what();
        session_->failed_operation = std::string(kNotReceived) + " (" + why + ")";
        session_->show_comm_error();
        // The printer may still be sending: what it sends must not be read
        // as the reply to the next command.
        session_->wait_for_quiet(std::chrono::milliseconds(300), limits.byte);
        r.problem = std::string("The parameter description was not received: ") + why;
        // A description that ended badly does not replace the last good one.
        return r;
    }
    std::string file_error;
    if (!write_file_whole(modules_path_, r.bytes, &file_error)) {
        // The editor is still built from what arrived; the file is only its record.
        const std::string text =
            "modules.txt could not be written: " + absolute_path(modules_path_) + ": " + file_error;
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
