// The operator of kp28setup: records every message and prompt for the JSON
// report, prints them as "TITLE: text" lines on standard error unless the
// report is JSON, answers prompts from --yes or from the terminal, and the
// dialogs from the command's options.
#pragma once

#include <kp28setup/operator.h>

#include <optional>
#include <string>
#include <vector>

namespace kp28setup_cli {

// What the options answer: each dialog not answered counts as cancelled.
struct DialogAnswers {
    bool yes = false;                  // OK to every prompt
    std::optional<std::string> file;   // the open dialog
    std::optional<std::string> input;  // the input box (an address, a USB ID)
    std::optional<std::string> save;   // the save dialog
};

class TerminalOperator : public kp28setup::Operator {
  public:
    TerminalOperator(DialogAnswers answers, bool quiet)
        : answers_(std::move(answers)), quiet_(quiet) {}

    bool show(const kp28setup::Message& m) override;
    std::optional<std::string> input(const std::string& title, const std::string& prompt,
                                     const std::string& default_text) override;
    std::optional<std::string> open_file(const kp28setup::FileDialog& d) override;
    std::optional<std::string> save_file(const kp28setup::FileDialog& d) override;
    // The report and the wait window are read from the session's state.
    void report(const std::string&, const std::vector<std::string>&) override {}
    void wait_window(bool) override {}

    // The message boxes and prompts shown, in order.
    const std::vector<kp28setup::Message>& messages() const { return messages_; }

  private:
    DialogAnswers answers_;
    bool quiet_;
    std::vector<kp28setup::Message> messages_;
};

}  // namespace kp28setup_cli
