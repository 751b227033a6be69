// The one reader of sysfs attributes.
#include <fstream>

#include "kp28/ports/ports.h"

namespace kp28::ports {

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

}  // namespace kp28::ports
