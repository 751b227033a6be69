#include "../maintenance/link_state.h"
#include "kp28setup/session.h"

namespace kp28setup {

void LinkStateDeleter::operator()(LinkState* s) const {
    delete s;
}

Session::~Session() = default;

void Session::cmd_Send_Setup_Click() {}
void Session::send_file_usb(const std::string&) {}
void Session::send_file_lan(const std::string&) {}
int Session::connect_lan() {
    return 0;
}
void Session::show_usb_error(int) {}

}  // namespace kp28setup
namespace kp28setup {
void Session::use_usb_library(std::shared_ptr<UsbLibrary>) {}
}  // namespace kp28setup
