// Runs a program as a child with its own environment and working directory,
// collecting its output, and kills it when it overruns its deadline.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace fwtest {

struct ChildResult {
    int exit_code = -1;  // -1 when killed or not started
    bool timed_out = false;
    std::string out;
    std::string err;
    double seconds = 0;
    long max_rss_kib = 0;  // the child's peak resident size
};

struct ChildOptions {
    // Runs on a thread of its own while the child runs (it may signal it);
    // joined before the child is reaped, so the pid stays the child's.
    std::function<void(pid_t)> while_running;
    // Standard output is closed after this many bytes, as `| head -c N`
    // does; whatever comes after is not collected.
    std::optional<std::size_t> close_out_after;
};

// env: variables set (or, with an empty value, removed) on top of ours.
ChildResult run_child(const std::vector<std::string>& argv,
                      const std::map<std::string, std::string>& env, const std::string& cwd,
                      std::chrono::milliseconds deadline, const ChildOptions& options = {});

}  // namespace fwtest
