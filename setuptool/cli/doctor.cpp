#include "doctor.h"

#include <kp28/ports/ports.h>
#include <kp28/sysroot.h>
#include <kp28setup/access_check.h>
#include <kp28setup/interface_list.h>

#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace kp28setup_cli {

namespace {

using kp28setup::NodeKind;
using nlohmann::json;
namespace fs = std::filesystem;

struct Check {
    std::string check;  // "interface", "usb printer", "updater", "library", "working directory"
    std::string name;   // the interface entry, or what was looked for
    std::string path;   // node or file
    std::string owner;  // "root:dialout 0660" for nodes
    bool ok = false;
    std::string problem, fix, note;
    std::vector<kp28setup::Holder> holders;

    // One verdict a line: usable, usable with a caveat that needs acting on,
    // or not usable.
    const char* verdict() const { return !ok ? "failed" : note.empty() ? "ok" : "warning"; }
};

const char* kind_name(NodeKind k) {
    switch (k) {
        case NodeKind::UsbPrinter:
            return "usb printer";
        case NodeKind::CdcSerial:
            return "usb cdc serial";
        case NodeKind::UsbSerial:
            return "usb serial adapter";
        case NodeKind::Serial:
            return "serial";
        case NodeKind::Parallel:
            return "parallel";
    }
    return "serial";
}

NodeKind kind_of(const kp28setup::PortInfo& p) {
    if (p.kind == kp28setup::PortInfo::Kind::Parallel) return NodeKind::Parallel;
    if (p.cdc) return NodeKind::CdcSerial;
    const std::string base = p.node.substr(p.node.rfind('/') + 1);
    return base.starts_with("ttyUSB") ? NodeKind::UsbSerial : NodeKind::Serial;
}

Check node_check(const std::string& root, const std::string& what, const std::string& name,
                 const std::string& node, NodeKind kind, const kp28setup::Identity& who,
                 bool rules) {
    const auto facts = kp28setup::node_facts(root, node, kind);
    const auto v = kp28setup::judge_node(facts, who, rules);
    Check c;
    c.check = what;
    c.name = name;
    c.path = node;
    if (facts.exists) c.owner = kp28setup::describe_owner(facts);
    c.ok = v.usable;
    c.problem = v.problem;
    c.fix = v.fix;
    c.note = v.note;
    c.holders = facts.holders;
    return c;
}

// The rules file where udev reads it: on this machine, whatever tree the
// hardware is looked up in (a fake tree may stage one as well).
std::string installed_rules(const std::string& root) {
    if (auto path = kp28setup::udev_rules_path("")) return *path;
    if (!root.empty())
        if (auto path = kp28setup::udev_rules_path(root)) return *path;
    return {};
}

// The rules file that an install with another prefix put beside the
// programs, where udev does not look.
std::string rules_beside_program() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    const fs::path p = (self.parent_path() / ".." / "lib/udev/rules.d" / kp28setup::kUdevRulesFile)
                           .lexically_normal();
    return fs::exists(p, ec) ? p.string() : std::string();
}

Check rules_check(const std::string& found) {
    Check c;
    c.check = "udev rule";
    c.name = kp28setup::kUdevRulesFile;
    c.ok = true;
    c.path = found;
    if (!found.empty()) return c;
    const std::string beside = rules_beside_program();
    c.path = beside;
    const std::string reload = "sudo udevadm control --reload && sudo udevadm trigger";
    if (!beside.empty()) {
        c.note =
            "installed with the programs, where udev does not read it; without it only "
            "root and the nodes' groups may open the printers";
        c.fix = "sudo ln -s " + beside + " /etc/udev/rules.d/" + kp28setup::kUdevRulesFile +
                ", then: " + reload + ".";
    } else {
        c.note = "udev reads no " + std::string(kp28setup::kUdevRulesFile) +
                 "; without it only root and the nodes' groups may open the printers";
        c.fix =
            "Install the kp28-tools package, or from a source tree: sudo install -m 644 "
            "dist/udev/" +
            std::string(kp28setup::kUdevRulesFile) + " /etc/udev/rules.d/, then: " + reload + ".";
    }
    return c;
}

std::vector<Check> run_checks(const kp28setup::Identity& who) {
    const std::string root = kp28::sysroot();
    const std::string rules_file = installed_rules(root);
    const bool rules = !rules_file.empty();
    std::vector<Check> checks;
    for (const auto& p : kp28setup::scan_ports(root)) {
        const NodeKind k = kind_of(p);
        const std::string entry =
            k == NodeKind::CdcSerial ? std::string(kp28setup::kCdcEntry) + " " + p.name : p.name;
        auto c = node_check(root, "interface", entry, p.node, k, who, rules);
        c.check = std::string("interface (") + kind_name(k) + ")";
        checks.push_back(std::move(c));
    }
    // The library's link: every printer node it would open.
    for (const auto& u : kp28::ports::scan_usb_printers(root))
        checks.push_back(node_check(root, "usb printer", kp28setup::kUsbEntry, u.node,
                                    NodeKind::UsbPrinter, who, rules));

    checks.push_back(rules_check(rules_file));

    const auto updater = kp28setup::find_updater();
    Check up{"updater", "Kp28FWUpdate", updater.path, {}, updater.ok, updater.error, {}, {}, {}};
    if (!up.ok)
        up.fix = "Install the kp28-tools package, or set KP28FWUPDATE to the updater's file.";
    checks.push_back(up);

    const auto lib = kp28setup::find_usb_library();
    Check l{"library", "libkp28wrap.so.1", lib.path, {}, lib.ok, lib.error, {}, {}, {}};
    if (!l.ok)
        l.fix =
            "Install the libkp28wrap1 package (kp28-tools brings it), or set KP28WRAP_LIBRARY to "
            "the library's file.";
    checks.push_back(l);

    const auto wd = kp28setup::working_directory_writable();
    Check w{"working directory", "modules.txt", wd.path, {}, wd.ok, wd.error, {}, {}, {}};
    if (!w.ok)
        w.fix =
            "Start the setup tool in a folder of your own: it writes modules.txt into its "
            "working directory.";
    checks.push_back(w);
    return checks;
}

}  // namespace

CLI::App* add_doctor(CLI::App& app, DoctorOptions& o) {
    auto* d = app.add_subcommand(
        "doctor",
        "Check that this user can open every interface, and find what the setup tool needs");
    d->add_flag("--json", o.json,
                "Print {\"ok\", \"user\", \"checks\": [{check, name, path, owner, ok, problem, "
                "fix, note, holders}]}");
    d->footer(
        "For each node: the owner, group and mode, whether this user may read and write it, "
        "and any process that holds it open (ModemManager on ttyACM, brltty on ttyUSB). Every "
        "problem comes with its fix. Exit status: 0 when everything needed is usable, 1 "
        "otherwise.");
    return d;
}

int run_doctor(const DoctorOptions& o) {
    const auto who = kp28setup::current_identity();
    const auto checks = run_checks(who);
    bool all_ok = true;
    std::size_t problems = 0;
    for (const auto& c : checks)
        if (!c.ok) {
            all_ok = false;
            ++problems;
        }

    if (o.json) {
        json list = json::array();
        for (const auto& c : checks) {
            json holders = json::array();
            for (const auto& h : c.holders) holders.push_back({{"pid", h.pid}, {"name", h.name}});
            list.push_back({{"check", c.check},
                            {"name", c.name},
                            {"path", c.path},
                            {"owner", c.owner},
                            {"ok", c.ok},
                            {"verdict", c.verdict()},
                            {"problem", c.problem},
                            {"fix", c.fix},
                            {"note", c.note},
                            {"holders", holders}});
        }
        const json out{{"ok", all_ok}, {"user", who.user}, {"uid", who.uid}, {"checks", list}};
        std::cout << out.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
        return all_ok ? 0 : 1;
    }

    std::cout << "Checks for user " << who.user << " (uid " << who.uid << ")\n";
    bool any_node = false;
    for (const auto& c : checks) {
        any_node = any_node || c.check.starts_with("interface") || c.check == "usb printer";
        const std::string verdict = c.ok ? c.verdict() : "FAILED";
        std::cout << verdict << std::string(8 - verdict.size(), ' ') << c.check << ": " << c.name;
        if (!c.path.empty()) std::cout << "  " << c.path;
        if (!c.owner.empty()) std::cout << "  " << c.owner;
        std::cout << "\n";
        if (!c.problem.empty()) std::cout << "        problem: " << c.problem << "\n";
        if (!c.fix.empty()) std::cout << "        fix: " << c.fix << "\n";
        if (!c.note.empty()) std::cout << "        note: " << c.note << "\n";
    }
    if (!any_node)
        std::cout << "note: no serial or parallel port and no USB printer was found; plug the "
                     "printer in and run this again\n";
    std::size_t warnings = 0;
    for (const auto& c : checks) warnings += std::string_view(c.verdict()) == "warning";
    if (all_ok && warnings == 0)
        std::cout << "result: everything needed is usable\n";
    else if (all_ok)
        std::cout << "result: everything needed is usable; " << warnings
                  << (warnings == 1 ? " warning" : " warnings") << " above\n";
    else
        std::cout << "result: " << problems << (problems == 1 ? " problem" : " problems")
                  << "; the fixes are above\n";
    return all_ok ? 0 : 1;
}

}  // namespace kp28setup_cli
