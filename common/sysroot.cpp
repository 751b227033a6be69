#include "kp28/sysroot.h"

#include <cstdlib>

namespace kp28 {

std::string sysroot() {
    const char* env = std::getenv("KP28_SYSROOT");
    std::string root = env ? env : "";
    while (!root.empty() && root.back() == '/') root.pop_back();
    return root;
}

std::string sysroot_path(std::string_view rel) {
    while (!rel.empty() && rel.front() == '/') rel.remove_prefix(1);
    std::string out = sysroot();
    out += '/';
    out += rel;
    return out;
}

}  // namespace kp28
