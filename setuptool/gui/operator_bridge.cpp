#include "operator_bridge.h"

namespace kp28gui {

void Closing::close() {
    {
        std::lock_guard lk(m_);
        closed_ = true;
    }
    cv_.notify_all();
}

bool Closing::closed() const {
    std::lock_guard lk(m_);
    return closed_;
}

void Closing::pause(std::chrono::milliseconds ms) {
    std::unique_lock lk(m_);
    cv_.wait_for(lk, ms, [this] { return closed_; });
}

OperatorBridge::OperatorBridge(kp28setup::Operator& gui, std::shared_ptr<Closing> closing)
    : gui_(gui), closing_(std::move(closing)) {}

namespace {
template <class R>
struct Pending {
    bool done = false;
    std::optional<R> value;
};
}  // namespace

template <class R, class F>
R OperatorBridge::ask(F f, R cancelled) {
    auto pending = std::make_shared<Pending<R>>();
    auto closing = closing_;
    if (closing->closed()) return cancelled;
    // Queued to this object: when the window (and with it this bridge) is
    // gone, Qt drops the call instead of running it.
    QMetaObject::invokeMethod(
        this,
        [this, f, pending, closing] {
            if (closing->closed()) return;
            R r = f(gui_);
            {
                std::lock_guard lk(closing->m_);
                pending->value = std::move(r);
                pending->done = true;
            }
            closing->cv_.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lk(closing->m_);
    closing->cv_.wait(lk, [&] { return pending->done || closing->closed_; });
    return pending->done ? std::move(*pending->value) : cancelled;
}

template <class F>
void OperatorBridge::tell(F f) {
    auto closing = closing_;
    if (closing->closed()) return;
    QMetaObject::invokeMethod(
        this,
        [this, f, closing] {
            if (!closing->closed()) f(gui_);
        },
        Qt::QueuedConnection);
}

bool OperatorBridge::show(const kp28setup::Message& m) {
    return ask([m](kp28setup::Operator& o) { return o.show(m); }, false);
}

std::optional<std::string> OperatorBridge::input(const std::string& title,
                                                 const std::string& prompt,
                                                 const std::string& default_text) {
    using R = std::optional<std::string>;
    return ask<R>([=](kp28setup::Operator& o) { return o.input(title, prompt, default_text); },
                  std::nullopt);
}

std::optional<std::string> OperatorBridge::open_file(const kp28setup::FileDialog& d) {
    using R = std::optional<std::string>;
    return ask<R>([d](kp28setup::Operator& o) { return o.open_file(d); }, std::nullopt);
}

std::optional<std::string> OperatorBridge::save_file(const kp28setup::FileDialog& d) {
    using R = std::optional<std::string>;
    return ask<R>([d](kp28setup::Operator& o) { return o.save_file(d); }, std::nullopt);
}

void OperatorBridge::report(const std::string& title, const std::vector<std::string>& lines) {
    tell([title, lines](kp28setup::Operator& o) { o.report(title, lines); });
}

void OperatorBridge::wait_window(bool shown) {
    tell([shown](kp28setup::Operator& o) { o.wait_window(shown); });
}

}  // namespace kp28gui
