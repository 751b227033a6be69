#include "kp28setup/scripted_operator.h"

namespace kp28setup {

namespace {
template <typename T>
T next_answer(const std::vector<T>& answers, std::size_t& next, T fallback) {
    if (next < answers.size()) return answers[next++];
    return fallback;
}
}  // namespace

bool ScriptedOperator::show(const Message& m) {
    Shown s{Shown::MessageBox, m, {}, {}, false};
    shown_.push_back(std::move(s));
    if (!m.ok_cancel) return true;
    return next_answer(prompt_answers, next_prompt_, prompt_fallback);
}

std::optional<std::string> ScriptedOperator::input(const std::string& title,
                                                   const std::string& prompt,
                                                   const std::string& default_text) {
    shown_.push_back(Shown{Shown::Input, Message{title, prompt, Icon::None, true}, {}, {}, false});
    return next_answer(input_answers, next_input_, std::optional<std::string>(default_text));
}

std::optional<std::string> ScriptedOperator::open_file(const FileDialog& d) {
    shown_.push_back(Shown{Shown::OpenDialog, {}, d, {}, false});
    return next_answer(open_answers, next_open_, std::optional<std::string>());
}

std::optional<std::string> ScriptedOperator::save_file(const FileDialog& d) {
    shown_.push_back(Shown{Shown::SaveDialog, {}, d, {}, false});
    return next_answer(save_answers, next_save_, std::optional<std::string>());
}

void ScriptedOperator::report(const std::string& title, const std::vector<std::string>& lines) {
    shown_.push_back(Shown{Shown::Report, Message{title, {}, Icon::None, false}, {}, lines, false});
}

void ScriptedOperator::wait_window(bool shown) {
    shown_.push_back(Shown{Shown::WaitWindow, {}, {}, {}, shown});
}

std::vector<Message> ScriptedOperator::messages() const {
    std::vector<Message> out;
    for (const auto& s : shown_)
        if (s.kind == Shown::MessageBox) out.push_back(s.message);
    return out;
}

}  // namespace kp28setup
