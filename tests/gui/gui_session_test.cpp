// A whole session in the window against the virtual printer: the start-up
// window, Read NVM with its prompt, the editor rows the read builds, one edit
// of every kind reaching the printer's NVM through Write NVM and its save
// dialog, Restore MFG, and Exit from SETUP; the buttons after every step.
#include <kp28setup/editor.h>
#include <kp28setup/scripted_operator.h>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <filesystem>

#include "editor_view.h"
#include "gui_rig.h"
#include "twips.h"

using guitest::Command;
using kp28gui::px;
using kp28setup::Family;
using kp28setup::RowKind;

class GuiSession : public QObject {
    Q_OBJECT
    guitest::GuiRig rig;

    kp28setup::Editor& model() { return *rig.window->editor().model(); }
    // Everything queued to the session's thread before this has run.
    bool sync() {
        return rig.window->command([](kp28setup::Session&) {}) && rig.idle();
    }
    std::optional<kp28setup::RowView> first_row(RowKind k) {
        for (const auto& r : model().rows())
            if (r.kind == k) return r;
        return std::nullopt;
    }
    void expect_enabled(std::initializer_list<Command> on, std::initializer_list<Command> off) {
        QVERIFY(rig.buttons_mirror_session());
        for (Command c : on)
            QVERIFY2(rig.button(c)->isEnabled(), rig.button(c)->objectName().toUtf8());
        for (Command c : off)
            QVERIFY2(!rig.button(c)->isEnabled(), rig.button(c)->objectName().toUtf8());
    }

  private slots:
    void initTestCase() {
        rig.start(guitest::GuiRig::setup_mode_plus());
        QVERIFY(rig.window->isVisible());
    }

    void startup_window_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QRect>("twips");
        const struct {
            const char *name, *caption;
            int l, t, w, h;
        } rows[] = {
            {"cmd_readNVM", "Read NVM", 7560, 2280, 1575, 585},
            {"cmd_Save", "Write NVM", 7560, 3120, 1575, 585},
            {"cmd_restMFG", "Restore MFG", 7560, 3960, 1575, 615},
            {"cmd_Send_Setup", "Send  Setup", 7560, 4800, 1575, 615},
            {"Command2", "Exit from SETUP", 7560, 5640, 1575, 615},
            {"cmdReboot", "Reboot", 9240, 2280, 1575, 585},
            {"cmdLoadFW", "Load FW", 9240, 3120, 1575, 585},
            {"cmdUSB_ID", "USB ID", 9240, 3960, 1575, 585},
            {"Command1", "Refresh List Interfaces", 9240, 4800, 1575, 615},
            {"Text1", "Printer", 360, 120, 5055, 495},
            {"Picture2", "Picture2", 150, 800, 7365, 7100},
        };
        for (const auto& r : rows)
            QTest::newRow(r.name) << r.name << r.caption << QRect(r.l, r.t, r.w, r.h);
    }
    void startup_window() {
        QFETCH(QString, name);
        QFETCH(QString, caption);
        QFETCH(QRect, twips);
        QCOMPARE(rig.window->windowTitle(), QString("KP28 setup - Vers. 2.0.17"));
        auto* w = rig.window->findChild<QWidget*>(name);
        QVERIFY(w);
        QCOMPARE(w->accessibleName(), caption);
        if (auto* b = qobject_cast<QPushButton*>(w)) QCOMPARE(b->text(), caption);
        QCOMPARE(w->geometry(),
                 kp28gui::twips_rect(twips.x(), twips.y(), twips.width(), twips.height()));
    }

    void startup_state() {
        expect_enabled({Command::ReadNvm, Command::Refresh}, {Command::WriteNvm});
        QVERIFY(rig.window->findChild<QWidget*>("Picture5")->isVisible());
        QVERIFY(!rig.window->findChild<QWidget*>("Picture4")->isVisible());
        auto* plus = rig.window->findChild<QAction*>("mnu_SetProgramforKP28Plus");
        auto* kp28 = rig.window->findChild<QAction*>("mnuSetProgramforKP28");
        QVERIFY(plus && kp28);
        QVERIFY(plus->isChecked());
        QVERIFY(!kp28->isChecked());
        QCOMPARE(plus->text(), QString("Set Program for KP28Plus"));
        QCOMPARE(kp28->text(), QString("Set Program for KP28"));
        auto* port = rig.window->findChild<QComboBox*>("port");
        QVERIFY(port->count() >= 2);
        QCOMPARE(port->currentText(), QString("COM1"));
        QVERIFY(rig.window->findChild<QLabel*>("lbl_STS")->text().startsWith("Status : "));
        QVERIFY(rig.window->findChild<QWidget*>("img_Esci"));
        // The editor is empty until a read.
        for (QWidget* w : rig.window->editor().picture1()->findChildren<QWidget*>())
            QVERIFY2(!w->isVisible(), w->objectName().toUtf8());
    }

    void model_menu_round_trip() {
        auto* kp28 = rig.window->findChild<QAction*>("mnuSetProgramforKP28");
        auto* plus = rig.window->findChild<QAction*>("mnu_SetProgramforKP28Plus");
        kp28->trigger();
        QVERIFY(rig.idle());
        QVERIFY(kp28->isChecked());
        QVERIFY(!plus->isChecked());
        QVERIFY(rig.window->findChild<QWidget*>("Picture4")->isVisible());
        QVERIFY(!rig.window->findChild<QWidget*>("Picture5")->isVisible());
        QVERIFY(rig.buttons_mirror_session());
        plus->trigger();
        QVERIFY(rig.idle());
        QVERIFY(plus->isChecked());
        QVERIFY(!kp28->isChecked());
        QVERIFY(rig.window->findChild<QWidget*>("Picture5")->isVisible());
        QVERIFY(rig.buttons_mirror_session());
    }

    void read_nvm() {
        const auto before = rig.script.messages().size();
        QVERIFY(rig.click(Command::ReadNvm));
        const auto msgs = rig.script.messages();
        QVERIFY(msgs.size() > before);
        QCOMPARE(msgs[before].text, std::string("HOLD THE ON_LINE BUTTON and TURN ON THE PRINTER"));
        QCOMPARE(msgs[before].title, std::string("PRINTER SETUP"));
        QVERIFY(msgs[before].ok_cancel);
        // No error after the prompt.
        QVERIFY2(msgs.size() == before + 1, (msgs.back().title + ": " + msgs.back().text).c_str());
        QVERIFY(rig.window->findChild<QLineEdit*>("Text1")->text().startsWith("FW: "));
        expect_enabled(
            {Command::RestoreMfg, Command::ReadNvm, Command::ExitSetup, Command::WriteNvm},
            {Command::Reboot, Command::LoadFw, Command::UsbId, Command::SendSetup});

        const QByteArray dir = qgetenv("KP28_GUI_SHOTS");
        const QString shot =
            QString::fromUtf8(dir.isEmpty() ? "." : dir) + "/main_window_after_read.png";
        QVERIFY(rig.window->grab().save(shot));
        QVERIFY(std::filesystem::file_size(shot.toStdString()) > 0);
    }

    void editor_rows() {
        QVERIFY(QTest::qWaitFor([this] { return rig.window->editor().builds_finished() > 0; },
                                guitest::kOperationMs));
        const auto rows = model().rows();
        QVERIFY(!rows.empty());
        QCOMPARE(rig.window->editor().rows_built(), static_cast<int>(rows.size()));
        auto& view = rig.window->editor();
        for (const auto& r : rows) {
            const Family fam = kp28setup::row_family(r.kind);
            const auto ws = view.element(fam, r.element);
            QVERIFY(!ws.empty());
            for (std::size_t part = 0; part < ws.size(); ++part) {
                QVERIFY2(ws[part]->isVisible(), r.label.c_str());
                QCOMPARE(ws[part]->y(), px(r.top));
                QCOMPARE(ws[part]->x(), px(kp28setup::design_geometry(fam, int(part)).left));
            }
            if (r.kind == RowKind::Title) {
                QCOMPARE(qobject_cast<QLabel*>(ws[0])->text().toStdString(), r.label);
                continue;
            }
            const auto label = view.element(Family::ItemTitle, r.row);
            QCOMPARE(label.size(), std::size_t(1));
            auto* l = qobject_cast<QLabel*>(label[0]);
            QCOMPARE(l->text().toStdString(), r.label);
            QCOMPARE(l->y(), px(r.top));
            QVERIFY(l->font().bold());
            QCOMPARE(l->font().pointSize(), 12);
            const auto g = kp28setup::design_geometry(fam, 0);
            if (g.height > 0) {
                QCOMPARE(ws[0]->width(), px(g.width));
                QCOMPARE(ws[0]->height(), px(g.height));
            }
        }
        QCOMPARE(view.picture1()->height(), px(int(model().RowTop())));
    }

    void edits_reach_the_image() {
        auto& view = rig.window->editor();
        const auto e = first_row(RowKind::Enum);
        const auto s = first_row(RowKind::String);
        const auto ip = first_row(RowKind::Ip);
        const auto rg = first_row(RowKind::Range);
        QVERIFY(e && s && ip && rg);
        const auto enum_row = *e, string_row = *s, ip_row = *ip, range_row = *rg;

        auto* combo = qobject_cast<QComboBox*>(view.element(Family::Enum, enum_row.element)[0]);
        const int item = (enum_row.index + 1) % int(enum_row.items.size());
        combo->setCurrentIndex(item);
        emit combo->activated(item);

        auto* slider =
            qobject_cast<QScrollBar*>(view.element(Family::MinMax, range_row.element)[0]);
        const bool up = slider->value() < slider->maximum();
        slider->triggerAction(up ? QAbstractSlider::SliderSingleStepAdd
                                 : QAbstractSlider::SliderSingleStepSub);
        const int shown = slider->value();

        auto* text = qobject_cast<QLineEdit*>(view.element(Family::String, string_row.element)[0]);
        text->setFocus();
        text->selectAll();
        QTest::keyClicks(text, "GUI");

        auto* octet4 = qobject_cast<QLineEdit*>(view.element(Family::IP, ip_row.element)[3]);
        octet4->setFocus();
        octet4->selectAll();
        QTest::keyClicks(octet4, "77");
        QVERIFY(sync());

        const auto rows = model().rows();
        auto now = [&](const kp28setup::RowView& r) {
            return *std::find_if(rows.begin(), rows.end(),
                                 [&](const auto& x) { return x.line == r.line; });
        };
        QCOMPARE(now(enum_row).index, item);
        QCOMPARE(now(range_row).stored, range_row.bias + shown);
        QCOMPARE(now(string_row).value.substr(0, 3), std::string("GUI"));
        QVERIFY(now(ip_row).value.ends_with(".77"));
        auto* value_label =
            qobject_cast<QLabel*>(view.element(Family::MinMax, range_row.element)[1]);
        QCOMPARE(value_label->text(), QString::number(shown));

        // Write NVM carries the edited image to the printer; the save dialog
        // is answered with a file in the working directory.
        const std::string file = (std::filesystem::current_path() / "edited.dmp").string();
        std::filesystem::remove(file);
        rig.script.save_answers = {file};
        const int writes = rig.printer->nvm_writes();
        QVERIFY(rig.click(Command::WriteNvm));
        QCOMPARE(rig.printer->nvm_writes(), writes + 1);
        const auto nvm = rig.printer->nvm();
        QCOMPARE(int(nvm[enum_row.offset]), item);
        QCOMPARE(int(nvm[ip_row.offset + 3]), 77);
        QCOMPARE(std::string(nvm.begin() + string_row.offset, nvm.begin() + string_row.offset + 3),
                 std::string("GUI"));
        int stored = nvm[range_row.offset];
        if (range_row.size == 2) stored |= nvm[range_row.offset + 1] << 8;  // KP28Plus: LSB first
        QCOMPARE(stored, range_row.bias + shown);

        QVERIFY(std::filesystem::exists(file));
        QVERIFY(std::filesystem::file_size(file) > 2048);
        const auto& shown_list = rig.script.shown();
        const auto save = std::find_if(shown_list.rbegin(), shown_list.rend(), [](const auto& x) {
            return x.kind == kp28setup::ScriptedOperator::Shown::SaveDialog;
        });
        QVERIFY(save != shown_list.rend());
        QCOMPARE(save->dialog.file_name, std::string("wnvm"));
        QCOMPARE(save->dialog.default_ext, std::string("dmp"));
        QCOMPARE(save->dialog.filter, std::string("dmp"));
        expect_enabled({Command::WriteNvm, Command::ReadNvm}, {});
    }

    void restore_mfg() {
        const auto sent = rig.to_printer().size();
        const auto before = rig.script.messages().size();
        QVERIFY(rig.click(Command::RestoreMfg));
        const auto bytes = rig.to_printer();
        QVERIFY(std::find(bytes.begin() + long(sent), bytes.end(), 'R') != bytes.end());
        QCOMPARE(rig.script.messages()[before].title, std::string("PRINTER SETUP"));
        expect_enabled({Command::WriteNvm, Command::RestoreMfg}, {Command::SendSetup});
    }

    void send_setup_over_the_network() {
        // The setup file written above goes to the printer, switched on in
        // normal mode, through the LAN entry.
        rig.printer->power_cycle();
        QVERIFY(QTest::qWaitFor(
            [this] { return !rig.printer->away() && !rig.printer->in_setup_mode(); },
            guitest::kOperationMs));
        auto* port = rig.window->findChild<QComboBox*>("port");
        const int lan = port->findText("LAN");
        QVERIFY(lan >= 0);
        port->setCurrentIndex(lan);
        emit port->activated(lan);
        QVERIFY(rig.idle());
        QVERIFY(rig.buttons_mirror_session());
        QVERIFY(rig.button(Command::SendSetup)->isEnabled());

        const std::string file = (std::filesystem::current_path() / "edited.dmp").string();
        rig.script.open_answers = {file};
        rig.script.input_answers = {"127.0.0.1:" + std::to_string(rig.printer->tcp_port())};
        const int applied = rig.printer->setup_frames_applied();
        const auto before = rig.script.messages().size();
        QVERIFY(rig.click(Command::SendSetup));
        QVERIFY(QTest::qWaitFor([&] { return rig.printer->setup_frames_applied() == applied + 1; },
                                10000));
        const auto& shown = rig.script.shown();
        const auto open = std::find_if(shown.begin(), shown.end(), [](const auto& x) {
            return x.kind == kp28setup::ScriptedOperator::Shown::OpenDialog;
        });
        QVERIFY(open != shown.end());
        QCOMPARE(open->dialog.title, std::string("SELECT SETUP FILE"));
        const auto input = std::find_if(shown.begin(), shown.end(), [](const auto& x) {
            return x.kind == kp28setup::ScriptedOperator::Shown::Input;
        });
        QVERIFY(input != shown.end());
        QCOMPARE(input->message.title, std::string("SEND SETUP TO PRINTER VIA ETHERNET INTERFACE"));
        const auto msgs = rig.script.messages();
        QVERIFY(msgs.size() > before);
        QCOMPARE(msgs.back().text, std::string("SETUP EXECUTED"));
        QVERIFY(rig.buttons_mirror_session());
    }

    void printed_text_shows_on_the_surface() {
        // A USB ID over 32 characters: the session prints its complaint.
        rig.script.input_answers.push_back(std::string(33, 'X'));
        QVERIFY(rig.window->command([](kp28setup::Session& s) { s.cmdUSB_ID_Click(); }));
        QVERIFY(rig.idle());
        auto* printed = rig.window->findChild<QLabel*>("printed");
        QVERIFY(printed && printed->isVisible());
        QVERIFY(QTest::qWaitFor([&] { return printed->text() == "ERRORE LUNGHEZZA"; }, 5000));
        const QByteArray dir = qgetenv("KP28_GUI_SHOTS");
        QVERIFY(rig.window->grab().save(QString::fromUtf8(dir.isEmpty() ? "." : dir) +
                                        "/main_window_printed.png"));
    }

    void exit_from_setup() {
        rig.printer->enter_setup_mode();
        QVERIFY(
            QTest::qWaitFor([this] { return !rig.printer->away() && rig.printer->in_setup_mode(); },
                            guitest::kOperationMs));
        auto* port = rig.window->findChild<QComboBox*>("port");
        port->setCurrentIndex(0);
        emit port->activated(0);
        QVERIFY(rig.idle());
        QVERIFY(rig.buttons_mirror_session());
        // Picking a COM entry leaves "Exit from SETUP" off until a read finds
        // a KP28Plus in setup mode.
        QVERIFY(rig.click(Command::ReadNvm));
        QVERIFY(rig.button(Command::ExitSetup)->isEnabled());
        QSignalSpy ended(rig.window.get(), &kp28gui::MainWindow::programEnded);
        QTest::mouseClick(rig.button(Command::ExitSetup), Qt::LeftButton);
        QVERIFY(ended.wait(guitest::kOperationMs) || ended.count() == 1);
        QVERIFY(!rig.window->isVisible());
        // "n" and its answer, then "g" as the last byte.
        QVERIFY(QTest::qWaitFor(
            [this] {
                const auto b = rig.to_printer();
                return !b.empty() && b.back() == 'g';
            },
            5000));
    }
};

QTEST_MAIN(GuiSession)
#include "gui_session_test.moc"
