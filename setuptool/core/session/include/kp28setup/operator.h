// Every modal interaction of the setup tool goes through an Operator: the
// window answers with its dialogs, kp28setup with the terminal and its
// options, tests with a script (the test kit's ScriptedOperator). The core waits for each answer,
// so every call here blocks until the operator has decided.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kp28setup {

enum class Icon { None, Critical, Exclamation, Information };

// Texts are UTF-8; the core converts printer bytes before they get here.
struct Message {
    std::string title;
    std::string text;
    Icon icon = Icon::None;
    bool ok_cancel = false;  // a prompt with OK and Cancel rather than OK alone
};

// Settings of an open or save dialog, as the operation prepares them.
struct FileDialog {
    std::string title;        // empty: the dialog's own default title
    std::string file_name;    // proposed name
    std::string default_ext;  // added to a typed name that has no extension
    std::string filter;       // extension offered in the type list
    std::string initial_dir;
    unsigned flags = 0;  // 0x8000: the file must not be read-only nor lie in a protected folder
};

class Operator {
  public:
    virtual ~Operator() = default;

    // A message box with an OK button, or (ok_cancel) a prompt: true for OK.
    virtual bool show(const Message& m) = 0;
    // An input box; nullopt when cancelled.
    virtual std::optional<std::string> input(const std::string& title, const std::string& prompt,
                                             const std::string& default_text) = 0;
    // The chosen path; nullopt when cancelled.
    virtual std::optional<std::string> open_file(const FileDialog& d) = 0;
    virtual std::optional<std::string> save_file(const FileDialog& d) = 0;
    // The report window: a title and its lines, closed by the operator.
    virtual void report(const std::string& title, const std::vector<std::string>& lines) = 0;
    // The wait window: shown while a long operation runs, hidden after it.
    virtual void wait_window(bool shown) = 0;
};

}  // namespace kp28setup
