// The operator of kp28setup: records every message and prompt for the JSON
// report, prints them as "TITLE: text" lines on standard error unless the
// report is JSON, answers prompts from --yes or from the terminal, and hands
// the save dialog the --save path.
#pragma once

#include <kp28setup/operator.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace kp28setup_cli {

class TerminalOperator : public kp28setup::ScriptedOperator {
  public:
    TerminalOperator(bool yes, bool quiet, std::optional<std::string> save_path)
        : yes_(yes), quiet_(quiet), save_path_(std::move(save_path)) {}

    bool show(const kp28setup::Message& m) override;
    std::optional<std::string> save_file(const kp28setup::FileDialog& d) override;

  private:
    bool yes_;
    bool quiet_;
    std::optional<std::string> save_path_;
};

}  // namespace kp28setup_cli
