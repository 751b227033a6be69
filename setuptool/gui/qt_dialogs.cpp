#include "qt_dialogs.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

namespace kp28gui {

namespace {

QMessageBox::Icon qt_icon(kp28setup::Icon i) {
    switch (i) {
        case kp28setup::Icon::Critical:
            return QMessageBox::Critical;
        case kp28setup::Icon::Exclamation:
            return QMessageBox::Warning;
        case kp28setup::Icon::Information:
            return QMessageBox::Information;
        case kp28setup::Icon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

std::optional<std::string> run_file_dialog(QWidget* parent, const kp28setup::FileDialog& d,
                                           bool save) {
    QFileDialog dlg(parent);
    dlg.setObjectName("dlg_save");
    dlg.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dlg.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (!d.title.empty()) dlg.setWindowTitle(QString::fromStdString(d.title));
    if (!d.filter.empty()) dlg.setNameFilter(qt_name_filter(d.filter));
    if (!d.default_ext.empty()) dlg.setDefaultSuffix(QString::fromStdString(d.default_ext));
    if (!d.initial_dir.empty()) dlg.setDirectory(QString::fromStdString(d.initial_dir));
    if (!d.file_name.empty()) dlg.selectFile(QString::fromStdString(d.file_name));
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return std::nullopt;
    return dlg.selectedFiles().front().toStdString();
}

}  // namespace

QString qt_name_filter(const std::string& filter) {
    const QStringList parts = QString::fromStdString(filter).split('|');
    if (parts.size() == 1) return QString("%1 (*.%1)").arg(parts[0]);
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString& desc = parts[i];
        const QString& pattern = parts[i + 1];
        // Qt reads the patterns from the last parentheses of each entry.
        out << (desc.endsWith("(" + pattern + ")") ? desc : desc + " (" + pattern + ")");
    }
    return out.join(";;");
}

QtDialogs::QtDialogs(QWidget* parent, kp28setup::Operator* script)
    : parent_(parent),
      script_(script),
      report_(new ReportWindow(parent)),
      wait_(new WaitWindow(parent)) {}

bool QtDialogs::show(const kp28setup::Message& m) {
    if (script_) return script_->show(m);
    QMessageBox box(qt_icon(m.icon), QString::fromStdString(m.title),
                    QString::fromStdString(m.text),
                    m.ok_cancel ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok, parent_);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(m.ok_cancel ? QMessageBox::Cancel : QMessageBox::Ok);
    return box.exec() == QMessageBox::Ok;
}

std::optional<std::string> QtDialogs::input(const std::string& title, const std::string& prompt,
                                            const std::string& default_text) {
    if (script_) return script_->input(title, prompt, default_text);
    QInputDialog dlg(parent_);
    dlg.setWindowTitle(QString::fromStdString(title));
    dlg.setLabelText(QString::fromStdString(prompt));
    dlg.setTextValue(QString::fromStdString(default_text));
    if (dlg.exec() != QDialog::Accepted) return std::nullopt;
    return dlg.textValue().toStdString();
}

std::optional<std::string> QtDialogs::open_file(const kp28setup::FileDialog& d) {
    if (script_) return script_->open_file(d);
    return run_file_dialog(parent_, d, false);
}

std::optional<std::string> QtDialogs::save_file(const kp28setup::FileDialog& d) {
    if (script_) return script_->save_file(d);
    return run_file_dialog(parent_, d, true);
}

// The report and wait windows follow the session's state (the window mirrors
// them); here they are only told to a script that records them.
void QtDialogs::report(const std::string& title, const std::vector<std::string>& lines) {
    if (script_) script_->report(title, lines);
}

void QtDialogs::wait_window(bool shown) {
    if (script_) script_->wait_window(shown);
}

}  // namespace kp28gui
