#include "multi_send.h"

#include <kp28setup/interface_list.h>
#include <kp28setup/time_limits.h>
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>

#include "exit_status.h"

namespace kp28setup_cli {

namespace {

using kp28setup::HostPort;
using kp28setup::PrinterSendResult;
using nlohmann::json;

// More at once only adds threads and sockets: 256 printers already share
// one connect limit.
constexpr std::size_t kMaxParallel = 256;

struct Target {
    HostPort to;
    std::string origin;  // "--ip" or "FILE:LINE", for messages
};

struct UsageError {
    std::string why;
};

HostPort parse_target(const std::string& text, const std::string& origin) {
    const auto hp = kp28setup::parse_host_port(text, kp28setup::kPrinterTcpPort);
    if (!hp)
        throw UsageError{origin + ": \"" + text +
                         "\" is not ADDR[:PORT] ([ADDR]:PORT for IPv6) with a port from 1 to "
                         "65535"};
    const std::string canonical = kp28setup::canonical_address(hp->host);
    if (canonical.empty())
        throw UsageError{origin + ": \"" + hp->host +
                         "\" is not a numeric IPv4 or IPv6 address (names are not looked up)"};
    return {canonical, hp->port};
}

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\f\v");
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(" \t\r\f\v");
    return s.substr(b, e - b + 1);
}

std::vector<Target> read_hosts(const std::string& path) {
    // A FIFO would hold the open until someone writes to it.
    std::error_code ec;
    const auto type = std::filesystem::status(path, ec).type();
    if (ec) throw UsageError{"--hosts " + path + ": " + ec.message()};
    if (type != std::filesystem::file_type::regular)
        throw UsageError{"--hosts " + path + ": not a regular file"};
    std::ifstream in(path, std::ios::binary);
    if (!in) throw UsageError{"--hosts " + path + ": " + std::strerror(errno)};
    std::vector<Target> out;
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        const std::string where = path + ":" + std::to_string(n);
        const std::string text = trim(line.substr(0, line.find('#')));
        if (text.empty()) continue;
        if (text.find_first_of(" \t") != std::string::npos)
            throw UsageError{where + ": one address a line, not \"" + text + "\""};
        out.push_back({parse_target(text, where), where});
    }
    if (in.bad()) throw UsageError{"--hosts " + path + ": read error"};
    if (out.empty()) throw UsageError{"--hosts " + path + ": no printer address in it"};
    return out;
}

// The limit in milliseconds from the environment, when set to a positive number.
void env_limit(const char* name, std::chrono::milliseconds& limit) {
    const char* v = std::getenv(name);
    if (!v || !*v) return;
    long ms = 0;
    const auto [end, ec] = std::from_chars(v, v + std::strlen(v), ms);
    if (ec == std::errc() && *end == '\0' && ms > 0) limit = std::chrono::milliseconds(ms);
}

std::string seconds_text(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", s);
    return buf;
}

// "sent 12 of 50" kept on one terminal line, cleared before any other
// line is written so the two never mix.
class Progress {
  public:
    explicit Progress(bool on) : on_(on) {}
    void show(std::size_t done, std::size_t total) {
        if (!on_) return;
        std::fprintf(stderr, "\rsent %zu of %zu\033[K", done, total);
        std::fflush(stderr);
    }
    void clear() {
        if (!on_) return;
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
    }

  private:
    bool on_;
};

void usage_report(const std::string& why, bool as_json) {
    std::cerr << "kp28setup: " << why << "\n";
    if (as_json)
        std::cout << json{{"command", "send"}, {"ok", false}, {"error", why}}.dump(2) << "\n";
}

}  // namespace

MultiSendCliOptions& multi_send_options() {
    static MultiSendCliOptions options;
    return options;
}

void add_send_target_options(CLI::App& send, std::string& single_ip) {
    auto& m = multi_send_options();
    send.add_option("--ip", m.ips,
                    "ADDR[:PORT]: the answer to the IP address box for LAN (port 9100 unless "
                    "given; without --ip the box counts as cancelled). Repeat it to send to "
                    "several printers at once")
        ->allow_extra_args(false)
        ->each([&single_ip](const std::string& v) { single_ip = v; });
    send.add_option("--hosts", m.hosts,
                    "A file of printer addresses, one ADDR[:PORT] a line (# comments, blank "
                    "lines): the file goes to each of them, with --ip's as well");
    send.add_option("--parallel", m.parallel,
                    "How many printers are sent to at once with several addresses (default " +
                        std::to_string(kp28setup::kDefaultParallelSends) + ")")
        ->check(CLI::Range(std::size_t{1}, kMaxParallel));
}

bool wants_multi_send(const std::string& command) {
    const auto& m = multi_send_options();
    return command == "send" && (m.ips.size() > 1 || !m.hosts.empty());
}

int run_multi_send(const std::string& file, const std::string& interface, bool as_json,
                   kp28setup::StopSource& stop) {
    const auto& m = multi_send_options();
    std::vector<Target> targets;
    try {
        // Many printers are only reached over the network; picking another
        // entry is a mistake, not a request to ignore the addresses.
        if (!interface.empty() && interface != kp28setup::kLanEntry)
            throw UsageError{"sending to several printers goes over the network: use -i " +
                             std::string(kp28setup::kLanEntry) + " or no -i, not -i " + interface};
        for (const auto& ip : m.ips) targets.push_back({parse_target(ip, "--ip"), "--ip " + ip});
        if (!m.hosts.empty())
            for (auto& t : read_hosts(m.hosts)) targets.push_back(std::move(t));
    } catch (const UsageError& e) {
        usage_report(e.why, as_json);
        return kExitUsage;
    }

    // A printer listed twice gets the file once: two connections to it at
    // once gain nothing and show up as one failure and one success.
    std::vector<HostPort> printers;
    std::map<std::pair<std::string, std::uint16_t>, std::string> seen;
    for (const auto& t : targets) {
        const auto [it, fresh] = seen.emplace(std::pair(t.to.host, t.to.port), t.origin);
        if (fresh)
            printers.push_back(t.to);
        else
            std::cerr << "kp28setup: " << kp28setup::printer_address_text(t.to) << " (" << t.origin
                      << ") is listed before (" << it->second << "); it gets the file once\n";
    }

    // Checked once, before any printer is reached.
    std::string why;
    const auto bytes = kp28setup::read_setup_file(file, &why);
    if (!bytes) {
        const std::string error = file + ": " + why;
        std::cerr << "kp28setup: the setup file was not sent: " << error << "\n";
        if (as_json)
            std::cout << json{{"command", "send"}, {"ok", false}, {"error", error}}.dump(2) << "\n";
        return kExitFailed;
    }

    const auto base = kp28setup::TimeLimits::from_environment();
    kp28setup::MultiSendOptions options;
    options.limits.connect = base.lan_connect;
    options.limits.write = base.link_write;
    env_limit("KP28SETUP_CONNECT_TIMEOUT_MS", options.limits.connect);
    env_limit("KP28SETUP_WRITE_TIMEOUT_MS", options.limits.write);
    options.parallel = m.parallel;
    options.stop = &stop;
    Progress progress(::isatty(STDERR_FILENO) == 1);
    progress.show(0, printers.size());
    options.on_done = [&](const PrinterSendResult& r, std::size_t done, std::size_t total) {
        if (!as_json) {
            progress.clear();
            std::cout << kp28setup::printer_address_text(r.to) << ": " << r.bytes_sent
                      << " bytes in " << seconds_text(r.seconds)
                      << " s: " << (r.ok ? "done" : r.reason) << std::endl;
        }
        progress.show(done, total);
    };
    const auto t0 = std::chrono::steady_clock::now();
    const auto results = kp28setup::send_file_to_printers(*bytes, printers, options);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    progress.clear();

    std::size_t took = 0;
    std::vector<std::string> retry;
    json each = json::array();
    for (const auto& r : results) {
        if (r.ok)
            ++took;
        else
            retry.push_back(kp28setup::printer_address_text(r.to));
        each.push_back({{"address", r.to.host},
                        {"port", r.to.port},
                        {"ok", r.ok},
                        {"bytes_sent", r.bytes_sent},
                        {"seconds", r.seconds},
                        {"reason", r.ok ? json(nullptr) : json(r.reason)}});
    }
    const bool ok = took == results.size() && !stop.requested();
    std::string summary =
        std::to_string(took) + " of " + std::to_string(results.size()) + " printers took the file";
    if (!retry.empty()) {
        summary += "; retry:";
        for (std::size_t i = 0; i < retry.size(); ++i) summary += (i ? ", " : " ") + retry[i];
    }
    const std::string interrupted = stop.requested() ? signal_name(stop.signal()) : "";
    if (!interrupted.empty()) std::cerr << "kp28setup: interrupted by " << interrupted << "\n";

    if (as_json) {
        json j{{"command", "send"},
               {"ok", ok},
               {"interface", kp28setup::kLanEntry},
               {"file", file},
               {"bytes", bytes->size()},
               {"parallel", m.parallel},
               {"printers", each},
               {"total", results.size()},
               {"took", took},
               {"failed", results.size() - took},
               {"seconds", seconds},
               {"retry", retry}};
        if (!interrupted.empty()) j["interrupted"] = interrupted;
        std::cout << j.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
    } else {
        std::cout << summary << "\n"
                  << "result: " << (ok ? "done" : "failed") << "\n";
    }
    return ok ? kExitOk : kExitFailed;
}

}  // namespace kp28setup_cli
