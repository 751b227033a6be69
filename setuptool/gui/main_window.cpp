#include "main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QToolButton>

#include "editor_view.h"
#include "twips.h"
#include "wrap_button.h"

static void init_resources() {
    Q_INIT_RESOURCE(resources);
}

namespace kp28gui {

using kp28setup::Command;
using kp28setup::Pointer;
using kp28setup::PointerTarget;

namespace {

struct ButtonPlace {
    Command command;
    const char* name;
    int left, top, width, height;
};

// The button grid, in twips.
constexpr ButtonPlace kButtons[] = {
    {Command::ReadNvm, "cmd_readNVM", 7560, 2280, 1575, 585},
    {Command::WriteNvm, "cmd_Save", 7560, 3120, 1575, 585},
    {Command::RestoreMfg, "cmd_restMFG", 7560, 3960, 1575, 615},
    {Command::SendSetup, "cmd_Send_Setup", 7560, 4800, 1575, 615},
    {Command::ExitSetup, "Command2", 7560, 5640, 1575, 615},
    {Command::Reboot, "cmdReboot", 9240, 2280, 1575, 585},
    {Command::LoadFw, "cmdLoadFW", 9240, 3120, 1575, 585},
    {Command::UsbId, "cmdUSB_ID", 9240, 3960, 1575, 585},
    {Command::Refresh, "Command1", 9240, 4800, 1575, 615},
};

// The client area: the editor's viewport and the right-hand column with a
// margin of 240 twips.
constexpr int kClientWidth = 11055;
constexpr int kClientHeight = 8100;

QLabel* picture(QWidget* parent, const char* name, const char* resource, const char* accessible) {
    auto* p = new QLabel(parent);
    p->setObjectName(name);
    p->setAccessibleName(accessible);
    p->setGeometry(twips_rect(7560, 120, 3255, 1320));
    p->setPixmap(
        QPixmap(resource).scaled(p->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
    p->setAlignment(Qt::AlignCenter);
    return p;
}

}  // namespace

MainWindow::MainWindow(WindowDeps deps, QWidget* parent) : QMainWindow(parent) {
    init_resources();
    qRegisterMetaType<SessionView>();
    setObjectName("test");
    setWindowTitle("KP28 setup - Vers. 2.0.17");
    setAccessibleName(windowTitle());
    // The captions were laid out for a small sans-serif face of 8 points.
    QFont f("Arial", 8);
    f.setStyleHint(QFont::SansSerif);
    setFont(f);
    build_controls();
    dialogs_ = std::make_unique<QtDialogs>(this, deps.script);
    connect(dialogs_->report_window(), &QDialog::accepted, this, [this] {
        // OK empties the report file and unloads the window; an edit rather
        // than a command, so that it is never refused.
        worker_->edit([](kp28setup::Session& s) { s.OKButton_Click(); });
    });

    kp28setup::Editor* model = editor_->hooks();
    worker_ = std::make_unique<SessionWorker>(
        WorkerDeps{deps.port, *dialogs_, std::move(deps.scan_ports), deps.limits, model,
                   [this, model](kp28setup::Session& s, SessionWorker& w) {
                       model->attach(s);
                       editor_->attach(w);
                   }});
    connect(worker_.get(), &SessionWorker::viewChanged, this, &MainWindow::apply);
    connect(worker_.get(), &SessionWorker::busyChanged, this, [this](bool b) {
        editor_->set_busy(b);
        emit busyChanged(b);
    });
    connect(worker_.get(), &SessionWorker::programEnded, this, [this] {
        close();
        emit programEnded();
    });
}

MainWindow::~MainWindow() {
    // The session's thread ends before the windows and the editor it talks to.
    worker_->shutdown();
    worker_.reset();
}

void MainWindow::build_controls() {
    auto* central = new QWidget(this);
    central->setObjectName("test_client");
    central->setFixedSize(px(kClientWidth), px(kClientHeight));
    setCentralWidget(central);

    for (const auto& b : kButtons) {
        const QString cap = QString::fromUtf8(kp28setup::caption(b.command).data(),
                                              kp28setup::caption(b.command).size());
        auto* w = new WrapButton(cap, central);
        w->setObjectName(b.name);
        w->setAccessibleName(cap);
        w->setGeometry(twips_rect(b.left, b.top, b.width, b.height));
        w->setEnabled(b.command != Command::WriteNvm);
        w->setAutoDefault(false);
        const Command c = b.command;
        connect(w, &QPushButton::clicked, this, [this, c] { click(c); });
        buttons_[static_cast<int>(c)] = w;
    }

    text1_ = new QLineEdit(central);
    text1_->setObjectName("Text1");
    text1_->setAccessibleName("Printer");
    text1_->setGeometry(twips_rect(360, 120, 5055, 495));
    text1_->setReadOnly(true);

    port_ = new QComboBox(central);
    port_->setObjectName("port");
    port_->setAccessibleName("Interface");
    port_->setPlaceholderText(kp28setup::kNoEntryText);
    port_->setGeometry(twips_rect(7560, 1560, 3255, 375));
    connect(port_, &QComboBox::activated, this, [this](int index) {
        if (!command([index](kp28setup::Session& s) { s.select_interface(index); })) apply(view_);
    });

    status_ = new QLabel("Status : ", central);
    status_->setObjectName("lbl_STS");
    status_->setAccessibleName("Status");
    status_->setGeometry(twips_rect(7560, 6480, 3255, 375));

    // What the session prints on the window's surface ("ERRORE LUNGHEZZA"),
    // below the status, latest last.
    printed_ = new QLabel(central);
    printed_->setObjectName("printed");
    printed_->setAccessibleName("Printed");
    printed_->setGeometry(twips_rect(7560, 6900, 3255, 960));
    printed_->setAlignment(Qt::AlignLeft | Qt::AlignBottom);
    printed_->setWordWrap(true);
    printed_->setStyleSheet("font-weight: bold");

    picture4_ = picture(central, "Picture4", ":/kp28setup/kp28.svg", "KP28");
    picture5_ = picture(central, "Picture5", ":/kp28setup/kp28plus.svg", "KP28Plus");
    picture4_->hide();

    esci_ = new QToolButton(central);
    esci_->setObjectName("img_Esci");
    esci_->setAccessibleName("exit");
    esci_->setToolTip("exit");
    esci_->setAutoRaise(true);
    esci_->setIcon(QIcon(":/kp28setup/esci.svg"));
    esci_->setIconSize(QSize(40, 40));
    esci_->setGeometry(px(9240) + (px(1575) - 40) / 2, px(5640), 40, 40);
    connect(esci_, &QToolButton::clicked, this, [this] {
        // Ends at once, also while an operation runs: the close stops it.
        if (!worker_->busy() && worker_->run([](kp28setup::Session& s) { s.img_Esci_Click(); }))
            return;
        close();
        emit programEnded();
    });

    auto* menu = menuBar()->addMenu("Select Printer Type");
    menu->setObjectName("mnu_Option");
    menu->setAccessibleName("Select Printer Type");
    mnu_kp28_ = menu->addAction("Set Program for KP28");
    mnu_kp28_->setObjectName("mnuSetProgramforKP28");
    mnu_kp28_->setCheckable(true);
    mnu_kp28plus_ = menu->addAction("Set Program for KP28Plus");
    mnu_kp28plus_->setObjectName("mnu_SetProgramforKP28Plus");
    mnu_kp28plus_->setCheckable(true);
    mnu_kp28plus_->setChecked(true);
    connect(mnu_kp28_, &QAction::triggered, this, [this] {
        command([](kp28setup::Session& s) { s.mnuSetProgramforKP28_Click(); });
        apply(view_);  // the check marks are the session's, not the click's
    });
    connect(mnu_kp28plus_, &QAction::triggered, this, [this] {
        command([](kp28setup::Session& s) { s.mnu_SetProgramforKP28Plus_Click(); });
        apply(view_);
    });

    editor_ = std::make_unique<EditorView>(central);
    setFixedSize(sizeHint());
}

bool MainWindow::command(SessionWorker::Task t) {
    if (closing_) return false;
    if (worker_->run(std::move(t))) return true;
    ++refused_;
    QApplication::beep();
    return false;
}

void MainWindow::click(Command c) {
    switch (c) {
        case Command::ReadNvm:
            command([](kp28setup::Session& s) { s.cmd_readNVM_Click(); });
            break;
        case Command::WriteNvm:
            // A confirmed write makes the edited values the printer's: the
            // marks clear. The model belongs to the worker, where this runs.
            command([model = editor_->hooks()](kp28setup::Session& s) {
                s.cmd_Save_Click();
                if (s.last_write_confirmed()) model->set_baseline();
            });
            break;
        case Command::RestoreMfg:
            command([](kp28setup::Session& s) { s.cmd_restMFG_Click(); });
            break;
        case Command::ExitSetup:
            command([](kp28setup::Session& s) { s.Command2_Click(); });
            break;
        case Command::Refresh:
            command([](kp28setup::Session& s) { s.Command1_Click(); });
            break;
        case Command::SendSetup:
            command([](kp28setup::Session& s) { s.cmd_Send_Setup_Click(); });
            break;
        case Command::Reboot:
            command([](kp28setup::Session& s) { s.cmdReboot_Click(); });
            break;
        case Command::LoadFw:
            command([](kp28setup::Session& s) { s.cmdLoadFW_Click(); });
            break;
        case Command::UsbId:
            command([](kp28setup::Session& s) { s.cmdUSB_ID_Click(); });
            break;
    }
}

void MainWindow::apply_pointer(QWidget* w, Pointer p) {
    if (p == Pointer::Hourglass)
        w->setCursor(Qt::WaitCursor);
    else
        w->unsetCursor();
}

void MainWindow::apply(const SessionView& v) {
    view_ = v;
    for (std::size_t i = 0; i < kp28setup::kCommandCount; ++i)
        buttons_[i]->setEnabled(v.commands.enabled(static_cast<Command>(i)));
    picture5_->setVisible(v.plus_displayed);
    picture4_->setVisible(!v.plus_displayed);
    mnu_kp28_->setChecked(v.kp28_checked);
    mnu_kp28plus_->setChecked(v.kp28plus_checked);
    const QString t1 = QString::fromStdString(v.text1);
    if (text1_->text() != t1) text1_->setText(t1);
    status_->setText(QString::fromStdString(v.status));
    QStringList printed;
    for (const auto& t : v.printed) printed << QString::fromStdString(t);
    printed_->setText(printed.join('\n'));

    QStringList entries;
    for (const auto& e : v.interfaces.port) entries << QString::fromStdString(e);
    QStringList shown;
    for (int i = 0; i < port_->count(); ++i) shown << port_->itemText(i);
    if (shown != entries) {
        const QSignalBlocker block(port_);
        port_->clear();
        port_->addItems(entries);
    }
    if (port_->currentIndex() != v.interfaces.selected) {
        const QSignalBlocker block(port_);
        port_->setCurrentIndex(v.interfaces.selected);
    }

    apply_pointer(this, v.pointers.at(PointerTarget::Window));
    apply_pointer(button(Command::ReadNvm), v.pointers.at(PointerTarget::ReadNvm));
    apply_pointer(button(Command::WriteNvm), v.pointers.at(PointerTarget::WriteNvm));
    apply_pointer(button(Command::RestoreMfg), v.pointers.at(PointerTarget::RestoreMfg));
    const bool screen = v.pointers.at(PointerTarget::Screen) == Pointer::Hourglass;
    if (screen != screen_busy_) {
        screen_busy_ = screen;
        if (screen)
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QApplication::restoreOverrideCursor();
    }
    auto* report = dialogs_->report_window();
    if (v.report.shown) {
        if (!report->isVisible() || report->windowTitle().toStdString() != v.report.caption ||
            report->list()->count() != static_cast<int>(v.report.lines.size()))
            report->present(v.report.caption, v.report.lines);
    } else if (report->isVisible()) {
        report->hide();
    }
    auto* wait = dialogs_->wait_window_widget();
    if (wait->isVisible() != v.wait_shown) {
        wait->setVisible(v.wait_shown);
        if (v.wait_shown) wait->raise();
    }
    centralWidget()->setEnabled(v.window_enabled);
    menuBar()->setEnabled(v.window_enabled);
}

void MainWindow::closeEvent(QCloseEvent* e) {
    closing_ = true;
    // The serial waits end within a tenth of a second, but a running updater
    // child is waited for until it ends by its own limits: the window goes
    // first, so that nothing looks hung meanwhile.
    hide();
    dialogs_->report_window()->hide();
    dialogs_->wait_window_widget()->hide();
    worker_->shutdown();
    if (screen_busy_) {
        screen_busy_ = false;
        QApplication::restoreOverrideCursor();
    }
    dialogs_->report_window()->close();
    dialogs_->wait_window_widget()->close();
    e->accept();
}

}  // namespace kp28gui
