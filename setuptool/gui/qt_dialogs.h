// The window's Operator: message boxes, prompts, the input box and the file
// dialogs as Qt dialogs, the report and wait windows as windows of their own.
// A test hands in a script for the modal calls. The report and wait windows
// are owned here but shown as the session's state says.
#pragma once

#include <kp28setup/operator.h>

#include <QWidget>

#include "side_windows.h"

namespace kp28gui {

class QtDialogs : public kp28setup::Operator {
  public:
    QtDialogs(QWidget* parent, kp28setup::Operator* script = nullptr);

    bool show(const kp28setup::Message& m) override;
    std::optional<std::string> input(const std::string& title, const std::string& prompt,
                                     const std::string& default_text) override;
    std::optional<std::string> open_file(const kp28setup::FileDialog& d) override;
    std::optional<std::string> save_file(const kp28setup::FileDialog& d) override;
    void report(const std::string& title, const std::vector<std::string>& lines) override;
    void wait_window(bool shown) override;

    ReportWindow* report_window() const { return report_; }
    WaitWindow* wait_window_widget() const { return wait_; }

  private:
    QWidget* parent_;
    kp28setup::Operator* script_;
    ReportWindow* report_;
    WaitWindow* wait_;
};

// The type list of a file dialog from the setup tool's filter text: pairs of
// description and pattern joined by '|' ("File *.dmp (*.dmp)|*.dmp"), or a
// bare extension ("dmp").
QString qt_name_filter(const std::string& filter);

}  // namespace kp28gui
