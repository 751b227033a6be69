// kp28setup send to several network printers: --ip more than once, or
// --hosts FILE. One --ip alone stays the window's "Send  Setup" over LAN.
#pragma once

#include <kp28setup/multi_send.h>
#include <kp28setup/stop_source.h>

#include <CLI/CLI.hpp>
#include <cstddef>
#include <string>
#include <vector>

namespace kp28setup_cli {

struct MultiSendCliOptions {
    std::vector<std::string> ips;  // every --ip, in order
    std::string hosts;             // --hosts FILE
    std::size_t parallel = kp28setup::kDefaultParallelSends;
};

MultiSendCliOptions& multi_send_options();

// --ip (repeatable; `single_ip` receives the value for the one-printer path),
// --hosts and --parallel on the send subcommand.
void add_send_target_options(CLI::App& send, std::string& single_ip);

// Whether the parsed command is a send to several printers.
bool wants_multi_send(const std::string& command);

// The whole run: targets, the file check, the sends, the report.
// Exit status 0 when every printer took the file, 1 otherwise, 2 usage.
int run_multi_send(const std::string& file, const std::string& interface, bool as_json,
                   kp28setup::StopSource& stop);

}  // namespace kp28setup_cli
