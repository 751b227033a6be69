// The window's thread rules: a second command while one runs is refused, the
// window keeps serving events while the session's thread waits on a silent
// printer, and a closed window ends the running operation at once, also when
// the session's thread waits for an answer of the operator.
#include <kp28setup/scripted_operator.h>

#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>

#include "gui_rig.h"

using guitest::Command;

namespace {

kp28sim::PrinterConfig silent_printer() {
    auto c = guitest::GuiRig::setup_mode_plus();
    c.faults.silent = true;
    return c;
}

// Holds the setup-mode prompt open and closes the window from inside it, as an
// operator who closes the main window while a prompt waits.
struct ClosingOperator : kp28setup::ScriptedOperator {
    kp28gui::MainWindow* window = nullptr;
    bool entered = false;
    bool closed = false;
    qint64 close_ms = -1;
    bool show(const kp28setup::Message& m) override {
        if (!m.ok_cancel || !window) return ScriptedOperator::show(m);
        entered = true;
        QTimer::singleShot(0, [this] {
            QElapsedTimer t;
            t.start();
            window->close();
            close_ms = t.elapsed();
            closed = true;
        });
        if (!QTest::qWaitFor([this] { return closed; }, 10000)) return false;
        return true;  // too late: the session was told the window is gone
    }
};

}  // namespace

class GuiThreads : public QObject {
    Q_OBJECT
  private slots:
    void second_command_is_refused_while_one_runs() {
        guitest::GuiRig rig;
        rig.start(silent_printer());
        QTest::mouseClick(rig.button(Command::ReadNvm), Qt::LeftButton);
        QVERIFY(rig.window->busy());
        QTest::mouseClick(rig.button(Command::RestoreMfg), Qt::LeftButton);
        QTest::mouseClick(rig.button(Command::Refresh), Qt::LeftButton);
        QTest::mouseClick(rig.button(Command::ReadNvm), Qt::LeftButton);
        QCOMPARE(rig.window->refused(), 3);
        QVERIFY(rig.idle());
        // One prompt, of the read; the refused restore never asked nor sent "R".
        int prompts = 0;
        for (const auto& m : rig.script.messages()) prompts += m.ok_cancel;
        QCOMPARE(prompts, 1);
        const auto bytes = rig.to_printer();
        QVERIFY(std::find(bytes.begin(), bytes.end(), 'R') == bytes.end());
        QVERIFY(rig.buttons_mirror_session());
        // Once it ended, commands are taken again.
        QVERIFY(rig.click(Command::Refresh));
        QCOMPARE(rig.window->refused(), 3);
    }

    void window_keeps_serving_events_during_an_operation() {
        guitest::GuiRig rig;
        rig.start(silent_printer());
        QElapsedTimer gap;
        qint64 worst = 0;
        int ticks = 0;
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] {
            if (ticks++) worst = std::max(worst, gap.elapsed());
            gap.restart();
        });
        QTest::mouseClick(rig.button(Command::ReadNvm), Qt::LeftButton);
        QVERIFY(rig.window->busy());
        gap.start();
        tick.start(10);
        QVERIFY(rig.idle());
        tick.stop();
        QVERIFY(ticks > 20);
        QVERIFY2(worst < 300, QByteArray::number(worst));
    }

    void closing_ends_a_running_read_at_once() {
        // Limits far longer than the test may take: only the close can end it.
        qputenv("KP28SETUP_READ_TIMEOUT_MS", "60000");
        guitest::GuiRig rig;
        rig.start(silent_printer());
        qunsetenv("KP28SETUP_READ_TIMEOUT_MS");
        QTest::mouseClick(rig.button(Command::ReadNvm), Qt::LeftButton);
        QVERIFY(rig.window->busy());
        // The model query is on its way to the silent printer.
        // (The prompt is answered on this thread, so the wait serves events.)
        QVERIFY(QTest::qWaitFor([&] { return !rig.to_printer().empty(); }, 10000));
        QElapsedTimer t;
        t.start();
        rig.window->close();
        QVERIFY2(t.elapsed() < 2000, QByteArray::number(t.elapsed()));
        QVERIFY(!rig.window->isVisible());
    }

    void closing_ends_a_running_updater_at_once() {
        // A stand-in updater that says it started, then would run for 30 s.
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString started = dir.filePath("started");
        const QString script = dir.filePath("updater.sh");
        {
            QFile f(script);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(("#!/bin/sh\ntouch '" + started + "'\nexec sleep 30\n").toUtf8());
        }
        QFile::setPermissions(script, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        qputenv("KP28FWUPDATE", script.toUtf8());
        guitest::GuiRig rig;
        kp28sim::PrinterConfig normal;
        rig.start(normal);
        auto* port = rig.window->findChild<QComboBox*>("port");
        const int usb = port->findText("USB");
        QVERIFY(usb >= 0);
        port->setCurrentIndex(usb);
        emit port->activated(usb);
        QVERIFY(rig.idle());
        QVERIFY(rig.button(Command::Reboot)->isEnabled());
        QTest::mouseClick(rig.button(Command::Reboot), Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(started); }, 10000));
        QVERIFY(rig.window->busy());
        QElapsedTimer t;
        t.start();
        rig.window->close();
        qunsetenv("KP28FWUPDATE");
        QVERIFY2(t.elapsed() < 2000, QByteArray::number(t.elapsed()));
        QVERIFY(!rig.window->isVisible());
    }

    void closing_while_a_prompt_waits_does_not_hang() {
        ClosingOperator op;
        guitest::GuiRig rig;
        rig.start(guitest::GuiRig::setup_mode_plus(), &op);
        op.window = rig.window.get();
        QTest::mouseClick(rig.button(Command::ReadNvm), Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return op.closed; }, 15000));
        QVERIFY(op.entered);
        QVERIFY2(op.close_ms >= 0 && op.close_ms < 2000, QByteArray::number(op.close_ms));
        // The prompt's late OK reached no one: nothing went to the printer.
        QVERIFY(rig.to_printer().empty());
    }
};

QTEST_MAIN(GuiThreads)
#include "gui_threads_test.moc"
