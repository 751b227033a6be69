#include "session_worker.h"

#include <thread>

namespace kp28gui {

SessionWorker::SessionWorker(WorkerDeps deps, QObject* parent)
    : QObject(parent), closing_(std::make_shared<Closing>()), port_(deps.port, stop_) {
    bridge_ = std::make_unique<OperatorBridge>(deps.dialogs, closing_);
    auto closing = closing_;
    const kp28setup::StopSource* stop = &stop_;
    // A close cuts the dialogue's pauses short, but not the settle pause of a
    // transfer, which lets its last bytes leave the line.
    auto pause = [closing, stop](std::chrono::milliseconds ms) {
        if (stop->in_transfer())
            std::this_thread::sleep_for(ms);
        else
            closing->pause(ms);
    };
    kp28setup::SessionDeps deps_for_session{
        port_, *bridge_, std::move(deps.scan_ports), pause, this, deps.editor, deps.limits};
    deps_for_session.stop = &stop_;
    session_ = std::make_unique<kp28setup::Session>(std::move(deps_for_session));
    if (deps.on_session) deps.on_session(*session_, *this);
    context_ = new QObject;
    context_->moveToThread(&thread_);
    connect(&thread_, &QThread::finished, context_, &QObject::deleteLater);
    thread_.setObjectName("kp28 session");
    thread_.start();
    run([](kp28setup::Session& s) { s.Form_Load(); });
}

SessionWorker::~SessionWorker() {
    shutdown();
}

bool SessionWorker::run(Task t) {
    if (busy_ || stopped_) return false;
    busy_ = true;
    emit busyChanged(true);
    QMetaObject::invokeMethod(
        context_,
        [this, t = std::move(t)] {
            t(*session_);
            QMetaObject::invokeMethod(
                this,
                [this] {
                    busy_ = false;
                    emit busyChanged(false);
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
    return true;
}

void SessionWorker::edit(Task t) {
    if (stopped_) return;
    QMetaObject::invokeMethod(
        context_, [this, t = std::move(t)] { t(*session_); }, Qt::QueuedConnection);
}

void SessionWorker::shutdown() {
    if (stopped_) return;
    stopped_ = true;
    closing_->close();
    stop_.request();
    thread_.quit();
    thread_.wait();
    // The thread is gone: the port is this thread's again.
    session_->close_link();
}

void SessionWorker::to_window(std::function<void()> f) {
    QMetaObject::invokeMethod(this, std::move(f), Qt::QueuedConnection);
}

SessionView SessionWorker::snapshot() const {
    const auto& s = *session_;
    SessionView v;
    v.commands = s.commands();
    v.plus_displayed = s.plus_displayed();
    v.kp28_checked = s.kp28_checked();
    v.kp28plus_checked = s.kp28plus_checked();
    v.text1 = s.text1();
    v.status = s.status_label();
    for (auto t : {kp28setup::PointerTarget::Window, kp28setup::PointerTarget::Screen,
                   kp28setup::PointerTarget::ReadNvm, kp28setup::PointerTarget::WriteNvm,
                   kp28setup::PointerTarget::RestoreMfg})
        v.pointers[t] = s.pointer(t);
    v.window_enabled = s.window_enabled();
    v.ended = s.program_ended();
    v.interfaces = s.interfaces();
    v.report = s.report_window();
    v.wait_shown = s.wait_window_shown();
    v.printed = s.printed();
    return v;
}

void SessionWorker::changed(kp28setup::Change what) {
    // Runs on the session's thread, inside the session: the copy is taken
    // here, where reading the session is safe.
    SessionView v = snapshot();
    const bool ended = what == kp28setup::Change::ProgramEnded;
    QMetaObject::invokeMethod(
        this,
        [this, v = std::move(v), ended] {
            emit viewChanged(v);
            if (ended) emit programEnded();
        },
        Qt::QueuedConnection);
}

}  // namespace kp28gui
