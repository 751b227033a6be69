// The main window `test`: the command buttons, the printer line Text1, the
// status label, the interface list, the model menu and pictures, the exit
// picture and the parameter editor. It shows the session's state as the
// session's thread reports it and forwards every click and edit to that
// thread; it decides nothing itself.
#pragma once

#include <kp28setup/session.h>

#include <QMainWindow>
#include <array>
#include <memory>

#include "qt_dialogs.h"
#include "session_worker.h"

class QAction;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollBar;
class QToolButton;

namespace kp28gui {

class EditorView;

struct WindowDeps {
    kp28setup::SerialPort& port;
    std::function<std::vector<kp28setup::PortInfo>()> scan_ports;
    kp28setup::TimeLimits limits = kp28setup::TimeLimits::from_environment();
    // Answers the modal interactions instead of Qt dialogs (tests).
    kp28setup::Operator* script = nullptr;
};

class MainWindow : public QMainWindow {
    Q_OBJECT
  public:
    explicit MainWindow(WindowDeps deps, QWidget* parent = nullptr);
    ~MainWindow() override;

    QPushButton* button(kp28setup::Command c) const { return buttons_[static_cast<int>(c)]; }
    bool busy() const { return worker_->busy(); }
    // Commands refused because one was running.
    int refused() const { return refused_; }
    const SessionView& view() const { return view_; }
    EditorView& editor() const { return *editor_; }
    QtDialogs& dialogs() const { return *dialogs_; }
    // Queues a task for the session's thread as a command of the window.
    bool command(SessionWorker::Task t);

  signals:
    void programEnded();
    void busyChanged(bool busy);

  protected:
    void closeEvent(QCloseEvent* e) override;

  private:
    void build_controls();
    void apply(const SessionView& v);
    void apply_pointer(QWidget* w, kp28setup::Pointer p);
    void click(kp28setup::Command c);

    std::unique_ptr<QtDialogs> dialogs_;
    std::unique_ptr<EditorView> editor_;
    std::unique_ptr<SessionWorker> worker_;
    SessionView view_;
    std::array<QPushButton*, kp28setup::kCommandCount> buttons_{};
    QLineEdit* text1_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* printed_ = nullptr;
    QComboBox* port_ = nullptr;
    QLabel* picture4_ = nullptr;
    QLabel* picture5_ = nullptr;
    QToolButton* esci_ = nullptr;
    QAction* mnu_kp28_ = nullptr;
    QAction* mnu_kp28plus_ = nullptr;
    bool screen_busy_ = false;
    int refused_ = 0;
    bool closing_ = false;
};

}  // namespace kp28gui
