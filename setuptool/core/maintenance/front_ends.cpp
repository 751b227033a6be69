#include "kp28setup/session.h"
#include "link_state.h"

namespace kp28setup {

void Session::cmdLoadFW_Click() {}
void Session::cmdReboot_Click() {}
void Session::cmdUSB_ID_Click() {}
void Session::OKButton_Click() {}
void Session::set_wait_window(bool) {}
void Session::show_report(const std::string&) {}
void Session::empty_report_file() {}
void Session::run_updater(const std::vector<std::string>&, const std::string&) {}

}  // namespace kp28setup
