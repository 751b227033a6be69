// KP28Plus_Remote_Setup_Tool: the setup tool's main window over the printer's
// real serial ports (or those of a fake tree, through KP28_SYSROOT).
#include <kp28/sysroot.h>
#include <kp28setup/serial_port_posix.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>
#include <csignal>
#include <string>

#include "main_window.h"

namespace {

void describe(QCommandLineParser& cli, const QList<QCommandLineOption>& options) {
    cli.setApplicationDescription(
        "The KP28 / KP28Plus setup tool: reads, edits, writes and sends the printer's setup "
        "memory. Hardware look-ups honour KP28_SYSROOT; KP28SETUP_READ_TIMEOUT_MS shortens the "
        "serial time limits.");
    cli.addHelpOption();
    cli.addOptions(options);
}

// Whether the command line asks for the help text.
bool wants_help(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h" || a == "-?" || a == "--help-all") return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // A file-size limit makes a save fail with its report instead of killing
    // the window halfway through a file.
    std::signal(SIGXFSZ, SIG_IGN);
    const QCommandLineOption shot("screenshot",
                                  "Save a picture of the main window to FILE after MS ms.", "FILE");
    const QCommandLineOption shot_after("screenshot-after",
                                        "Milliseconds before the picture (1000).", "MS", "1000");
    QCommandLineParser cli;
    describe(cli, {shot, shot_after});
    // The help needs no display: it is printed before the window system is
    // reached, so that it works over ssh and on a bench PC without X.
    if (wants_help(argc, argv)) {
        QCoreApplication plain(argc, argv);
        QCoreApplication::setApplicationName("KP28Plus_Remote_Setup_Tool");
        cli.process(plain);  // prints the help and ends the process
        return 0;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName("KP28Plus_Remote_Setup_Tool");
    cli.process(app);

    const std::string root = kp28::sysroot();
    kp28setup::PosixSerialPort port([root](int com) { return kp28setup::node_for_com(root, com); });
    kp28gui::MainWindow w(
        kp28gui::WindowDeps{port, [root] { return kp28setup::scan_ports(root); }});
    QObject::connect(&w, &kp28gui::MainWindow::programEnded, &app, &QApplication::quit);
    w.show();
    if (cli.isSet(shot)) {
        const QString file = cli.value(shot);
        QTimer::singleShot(cli.value(shot_after).toInt(), &w, [&w, file] {
            if (!w.grab().save(file)) qWarning("cannot save %s", qPrintable(file));
        });
    }
    return app.exec();
}
