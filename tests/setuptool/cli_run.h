// kp28setup run as a child process against a fake tree, as the end-to-end
// tests of its commands do: the outcome with the JSON it printed.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "../fwupdate/child_process.h"

namespace setuptest {

using Bytes = std::vector<std::uint8_t>;

// Bytes a printer sends or receives, put together as the tests script them.
inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
inline Bytes letters(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

struct CliRun {
    int exit_code = -1;
    nlohmann::json out;  // discarded when the output is not one JSON object
    std::string err;
    std::string text;  // standard output as printed
    double seconds = 0;
    long max_rss_kib = 0;

    // The texts of the message boxes, in order.
    std::vector<std::string> texts() const {
        std::vector<std::string> t;
        if (out.is_object() && out.contains("messages"))
            for (const auto& m : out["messages"]) t.push_back(m["text"]);
        return t;
    }
};

// Runs kp28setup in dir with the tree at sysroot; the read limits are
// shortened unless env sets them. `wrapper` goes before the program (prlimit).
inline CliRun run_kp28setup(std::vector<std::string> args, std::map<std::string, std::string> env,
                            const std::string& sysroot, const std::string& dir,
                            const fwtest::ChildOptions& options = {},
                            std::vector<std::string> wrapper = {}) {
    args.insert(args.begin(), KP28SETUP_PATH);
    args.insert(args.begin(), wrapper.begin(), wrapper.end());
    env["KP28_SYSROOT"] = sysroot;
    if (!env.count("KP28SETUP_READ_TIMEOUT_MS")) env["KP28SETUP_READ_TIMEOUT_MS"] = "1000";
    const auto r = fwtest::run_child(args, env, dir, std::chrono::seconds(60), options);
    CliRun out;
    out.exit_code = r.exit_code;
    out.err = r.err;
    out.text = r.out;
    out.seconds = r.seconds;
    out.max_rss_kib = r.max_rss_kib;
    out.out = nlohmann::json::parse(r.out, nullptr, false);
    return out;
}

}  // namespace setuptest
