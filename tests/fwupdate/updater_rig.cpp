#include "updater_rig.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

namespace fwtest {

namespace {

// "(PID=1234)Tue Dec  8 00:32:15.7 message"
const std::regex kLogHead(
    R"(^\(PID=\d+\)(Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} [ 123]\d \d\d:\d\d:\d\d\.(0|[1-9]\d{0,2}) )");

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

}  // namespace

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::uint8_t> to_bytes(const std::string& s) {
    return std::vector<std::uint8_t>(s.begin(), s.end());
}

UpdaterRig::UpdaterRig() {
    char tmpl[] = "/tmp/fwupdate-runXXXXXX";
    if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    workdir_ = tmpl;
    env = {
        {"KP28_SYSROOT", sysroot_.root()},   {"KP28WRAP_MODE", ""},
        {"KP28FW_QUERY_TIMEOUT_MS", "1500"}, {"KP28FW_ACK_TIMEOUT_MS", "3000"},
        {"KP28FW_LEAVE_TIMEOUT_MS", "500"},  {"KP28FW_REBOOT_PERIOD_MS", "100"},
        {"KP28FW_REBOOT_LIMIT_MS", "6000"},
    };
}

UpdaterRig::~UpdaterRig() {
    for (auto& p : printers_) p->stop();
    std::error_code ec;
    std::filesystem::remove_all(workdir_, ec);
}

kp28sim::PrinterConfig UpdaterRig::usb_printer(int lp) {
    kp28sim::PrinterConfig c;
    c.usb_lp = lp;
    c.usb_identity.serial = "KP28SIM000" + std::to_string(lp);
    c.serial.reset();
    c.parallel_lp.reset();
    c.tcp_port.reset();
    c.reboot_downtime = std::chrono::milliseconds(300);
    return c;
}

kp28sim::VirtualPrinter& UpdaterRig::add_printer(kp28sim::PrinterConfig config) {
    printers_.push_back(std::make_unique<kp28sim::VirtualPrinter>(sysroot_, std::move(config)));
    printers_.back()->start();
    return *printers_.back();
}

void UpdaterRig::write_file(const std::string& name, const std::string& bytes) const {
    std::ofstream(path(name), std::ios::binary | std::ios::trunc) << bytes;
}

std::vector<std::string> UpdaterRig::files_starting_with(const std::string& prefix) const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(workdir_)) {
        const std::string n = e.path().filename().string();
        if (n.rfind(prefix, 0) == 0) names.push_back(n);
    }
    return names;
}

RunResult UpdaterRig::run(const std::vector<std::string>& args, std::chrono::milliseconds deadline,
                          const ChildOptions& options) {
    std::vector<std::string> argv = {KP28FWUPDATE_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r;
    r.child = run_child(argv, env, workdir_, deadline, options);
    EXPECT_FALSE(r.child.timed_out) << "the updater overran its deadline";
    r.console = split_lines(r.child.out);
    for (const std::string& line : split_lines(read_file(path("log.txt")))) {
        std::smatch m;
        if (!std::regex_search(line, m, kLogHead)) {
            ADD_FAILURE() << "malformed log line: " << line;
            continue;
        }
        r.log.push_back(line.substr(static_cast<std::size_t>(m.length(0))));
    }
    return r;
}

}  // namespace fwtest
