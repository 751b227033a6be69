// The tests' operator: it records every dialog and answers from a script.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "kp28setup/operator.h"

namespace kp28setup {

// An operator that records what it was shown and answers from a script.
class ScriptedOperator : public Operator {
  public:
    struct Shown {
        enum Kind { MessageBox, Input, OpenDialog, SaveDialog, Report, WaitWindow } kind;
        Message message;                 // MessageBox; Input keeps title and prompt here
        FileDialog dialog;               // OpenDialog, SaveDialog
        std::vector<std::string> lines;  // Report
        bool wait_shown = false;         // WaitWindow
    };

    // Answers, each used once in order; when a list runs out the fallback holds.
    std::vector<bool> prompt_answers;
    bool prompt_fallback = true;
    std::vector<std::optional<std::string>> input_answers;
    std::vector<std::optional<std::string>> open_answers;
    std::vector<std::optional<std::string>> save_answers;  // fallback: cancelled

    bool show(const Message& m) override;
    std::optional<std::string> input(const std::string& title, const std::string& prompt,
                                     const std::string& default_text) override;
    std::optional<std::string> open_file(const FileDialog& d) override;
    std::optional<std::string> save_file(const FileDialog& d) override;
    void report(const std::string& title, const std::vector<std::string>& lines) override;
    void wait_window(bool shown) override;

    const std::vector<Shown>& shown() const { return shown_; }
    // The message boxes and prompts alone, in order.
    std::vector<Message> messages() const;

  private:
    std::vector<Shown> shown_;
    std::size_t next_prompt_ = 0, next_input_ = 0, next_open_ = 0, next_save_ = 0;
};

}  // namespace kp28setup
