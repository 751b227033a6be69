// Runs a program as a child with its own environment and working directory,
// collecting its output, and kills it when it overruns its deadline.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace fwtest {

struct ChildResult {
    int exit_code = -1;   // -1 when killed or not started
    bool timed_out = false;
    std::string out;
    std::string err;
    double seconds = 0;
};

// env: variables set (or, with an empty value, removed) on top of ours.
ChildResult run_child(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                      const std::string& cwd, std::chrono::milliseconds deadline);

}  // namespace fwtest
