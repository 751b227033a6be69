#include "side_windows.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>

#include "twips.h"

namespace kp28gui {

ReportWindow::ReportWindow(QWidget* parent) : QDialog(parent) {
    setObjectName("Dialog");
    setModal(false);
    setFixedSize(px(7200), px(4800));
    list_ = new QListWidget(this);
    list_->setObjectName("List1");
    list_->setAccessibleName("List1");
    list_->setGeometry(twips_rect(120, 120, 6960, 3840));
    auto* ok = new QPushButton("OK", this);
    ok->setObjectName("OKButton");
    ok->setAccessibleName("OK");
    ok->setGeometry(twips_rect(5640, 4080, 1440, 495));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

void ReportWindow::present(const std::string& title, const std::vector<std::string>& lines) {
    setWindowTitle(QString::fromStdString(title));
    setAccessibleName(windowTitle());
    list_->clear();
    for (const auto& l : lines) list_->addItem(QString::fromStdString(l));
    show();
    raise();
}

WaitWindow::WaitWindow(QWidget* parent) : QDialog(parent) {
    setObjectName("frmAttesa");
    setWindowTitle("ATTENTION");
    setAccessibleName("ATTENTION");
    setModal(false);
    setFixedSize(px(4800), px(1500));
    auto* label = new QLabel("Wait End of Operation", this);
    label->setObjectName("Label1");
    label->setAccessibleName("Wait End of Operation");
    label->setAlignment(Qt::AlignCenter);
    label->setGeometry(twips_rect(240, 360, 4320, 600));
    QFont f = label->font();
    f.setPointSize(12);
    f.setBold(true);
    label->setFont(f);
}

}  // namespace kp28gui
