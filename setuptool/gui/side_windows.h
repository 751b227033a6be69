// The two windows besides the main one: the report window `Dialog` (a caption,
// the list `List1` of report lines, "OK"), shown without blocking, and the
// wait window `frmAttesa`.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

class QListWidget;

namespace kp28gui {

class ReportWindow : public QDialog {
  public:
    explicit ReportWindow(QWidget* parent);
    void present(const std::string& title, const std::vector<std::string>& lines);
    QListWidget* list() const { return list_; }

  private:
    QListWidget* list_;
};

class WaitWindow : public QDialog {
  public:
    explicit WaitWindow(QWidget* parent);
};

}  // namespace kp28gui
