// Names such as lp0 or ttyUSB12: a fixed prefix and a decimal number.
#pragma once

#include <string_view>

namespace kp28::ports {

// N of PREFIX followed by N, or -1 for any other name (no digits, other
// characters, or a number past a million, which no kernel hands out).
inline long numbered_name(std::string_view name, std::string_view prefix) {
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) return -1;
    long n = 0;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return -1;
        n = n * 10 + (name[i] - '0');
        if (n > 1000000) return -1;
    }
    return n;
}

}  // namespace kp28::ports
