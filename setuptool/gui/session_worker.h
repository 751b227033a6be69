// The thread that owns the session. Every operation and every edit is a task
// queued to it; what the session shows comes back as copies queued to the
// window's thread, so the window never reads the session while it changes.
// While a task runs the window's further commands are refused.
#pragma once

#include <kp28setup/session.h>
#include <kp28setup/stop_source.h>
#include <kp28setup/stoppable_port.h>

#include <QObject>
#include <QThread>
#include <functional>
#include <map>
#include <memory>

#include "operator_bridge.h"

namespace kp28gui {

// What the window shows of the session, copied on the session's thread.
struct SessionView {
    kp28setup::CommandStates commands;
    bool plus_displayed = true;
    bool kp28_checked = false;
    bool kp28plus_checked = true;
    std::string text1;
    std::string status;
    std::map<kp28setup::PointerTarget, kp28setup::Pointer> pointers;
    bool window_enabled = true;
    bool ended = false;
    kp28setup::InterfaceList interfaces;
    kp28setup::ReportWindow report;    // Dialog
    bool wait_shown = false;           // frmAttesa
    std::vector<std::string> printed;  // texts printed on the window's surface
};

class SessionWorker;

struct WorkerDeps {
    kp28setup::SerialPort& port;
    kp28setup::Operator& dialogs;  // answers on the window's thread
    std::function<std::vector<kp28setup::PortInfo>()> scan_ports;
    kp28setup::TimeLimits limits = kp28setup::TimeLimits::from_environment();
    // The editor the session builds after a good read; null: none.
    kp28setup::Editor* editor = nullptr;
    // Called once with the new session, before its thread starts: the one
    // moment at which the window may wire things the thread will use.
    std::function<void(kp28setup::Session&, SessionWorker&)> on_session;
};

class SessionWorker : public QObject, private kp28setup::SessionObserver {
    Q_OBJECT
  public:
    using Task = std::function<void(kp28setup::Session&)>;

    // Starts the thread and queues Form_Load as its first task.
    explicit SessionWorker(WorkerDeps deps, QObject* parent = nullptr);
    ~SessionWorker() override;

    // Queues a task unless one runs; false when refused. Window thread only.
    bool run(Task t);
    bool busy() const { return busy_; }
    // Queues an edit of the operator's: never refused (until shutdown), it
    // runs after whatever was queued before it.
    void edit(Task t);

    // Ends the running task within one slice of the port's waits (answers
    // to the operator count as cancelled) and joins the thread. Later run()
    // calls are refused.
    void shutdown();

    // For the editor's own notifications: queues f to the window's thread.
    void to_window(std::function<void()> f);

  signals:
    void viewChanged(const kp28gui::SessionView& v);
    void busyChanged(bool busy);
    void programEnded();

  private:
    void changed(kp28setup::Change what) override;
    bool stop_requested() override { return closing_->closed(); }
    SessionView snapshot() const;

    std::shared_ptr<Closing> closing_;
    // Asked when the window closes; a transfer under way is finished first.
    kp28setup::StopSource stop_;
    kp28setup::StoppablePort port_;
    std::unique_ptr<OperatorBridge> bridge_;
    std::unique_ptr<kp28setup::Session> session_;
    QThread thread_;
    QObject* context_ = nullptr;  // lives on thread_; queued tasks go to it
    bool busy_ = false;
    bool stopped_ = false;
};

}  // namespace kp28gui

Q_DECLARE_METATYPE(kp28gui::SessionView)
