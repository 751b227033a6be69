#include "kp28setup/interface_list.h"

namespace kp28setup {

std::string InterfaceList::selected_text() const {
    if (selected < 0 || static_cast<std::size_t>(selected) >= port.size()) return kNoEntryText;
    return port[static_cast<std::size_t>(selected)];
}

std::string InterfaceList::selected_counterpart() const {
    if (selected < 0 || static_cast<std::size_t>(selected) >= list1.size()) return {};
    return list1[static_cast<std::size_t>(selected)];
}

}  // namespace kp28setup
