#include "kp28/sysroot.h"

#include <cstdlib>
#include <fstream>

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

bool read_attribute(const std::string& path, std::string& value) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    if (!std::getline(in, line) && !in.eof()) return false;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ' ||
                             line.back() == '\t'))
        line.pop_back();
    value = line;
    return true;
}

}  // namespace kp28
