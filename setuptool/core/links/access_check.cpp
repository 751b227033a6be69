#include "kp28setup/access_check.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <kp28/ports/access.h>
#include <kp28/ports/ports.h>
#include <kp28setup/senders.h>
#include <link.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace kp28setup {

namespace fs = std::filesystem;

namespace {

// The groups Debian's udev rules give these nodes.
const char* debian_group(NodeKind k) {
    return k == NodeKind::UsbPrinter || k == NodeKind::Parallel ? "lp" : "dialout";
}

// The nodes our rules file gives to the logged-in user: the printers' own.
bool covered_by_rule(NodeKind k) {
    return k == NodeKind::UsbPrinter || k == NodeKind::CdcSerial;
}

bool contains(const std::vector<gid_t>& v, gid_t g) {
    return std::find(v.begin(), v.end(), g) != v.end();
}

std::string group_text(const NodeFacts& f) {
    return f.group_name.empty() ? std::to_string(f.gid) : f.group_name;
}

const char* kReloadRules = "sudo udevadm control --reload && sudo udevadm trigger";

std::string rule_fix(bool rules_installed) {
    if (rules_installed)
        return std::string("The udev rule ") + kUdevRulesFile +
               " is installed but was not applied to this node yet: " + kReloadRules +
               " (or unplug the printer and plug it in again).";
    return std::string("Install the udev rule ") + kUdevRulesFile +
           " (the kp28-tools package puts it in /lib/udev/rules.d; from a source tree: sudo "
           "install -m 644 dist/udev/" +
           kUdevRulesFile + " /etc/udev/rules.d/), then: " + kReloadRules + ".";
}

std::string holder_fix(const Holder& h, bool rules_installed) {
    if (h.name == "ModemManager")
        return std::string(rules_installed
                               ? "ModemManager took the port before the udev rule marked it: "
                               : "Install the udev rule " + std::string(kUdevRulesFile) +
                                     ", which tells ModemManager to leave the printer's port "
                                     "alone, then: ") +
               kReloadRules +
               " and plug the printer in again; or stop it: sudo systemctl stop ModemManager.";
    if (h.name == "brltty")
        return "brltty takes USB serial adapters for braille displays: sudo systemctl stop "
               "brltty-udev.service brltty.service; when no braille display is used: sudo "
               "apt-get remove brltty.";
    return "End " + h.name + " (kill " + std::to_string(h.pid) + ") or close the port in it.";
}

std::string join_holders(const std::vector<Holder>& hs) {
    std::string out;
    for (const auto& h : hs) {
        if (!out.empty()) out += ", ";
        out += h.name + " (pid " + std::to_string(h.pid) + ")";
    }
    return out;
}

// Numeric entries of root/proc.
std::vector<int> process_ids(const std::string& root) {
    std::vector<int> pids;
    std::error_code ec;
    for (fs::directory_iterator it(root + "/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string n = it->path().filename().string();
        if (n.empty() ||
            !std::all_of(n.begin(), n.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        if (n.size() > 9) continue;
        pids.push_back(std::stoi(n));
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

std::string comm_of(const std::string& root, int pid) {
    std::string name;
    if (!kp28::ports::read_attribute(root + "/proc/" + std::to_string(pid) + "/comm", name))
        return "pid " + std::to_string(pid);
    return name;
}

}  // namespace

std::string describe_owner(const NodeFacts& f) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(f.mode & 07777));
    const std::string owner = f.owner_name.empty() ? std::to_string(f.uid) : f.owner_name;
    return owner + ":" + group_text(f) + " " + mode;
}

Verdict judge_node(const NodeFacts& f, const Identity& who, bool rules_installed) {
    Verdict v;
    if (!f.exists) {
        v.problem = f.node + " is missing";
        switch (f.kind) {
            case NodeKind::UsbPrinter:
                v.fix =
                    "Switch the printer on and plug its USB cable in; if the node still does not "
                    "appear, load the USB printer driver: sudo modprobe usblp.";
                break;
            case NodeKind::CdcSerial:
                v.fix =
                    "Plug the printer's USB cable in again; if the node still does not appear, "
                    "load the driver: sudo modprobe cdc_acm.";
                break;
            default:
                v.fix = std::string("The kernel lists the port but no node was made for it: ") +
                        kReloadRules + ".";
        }
        return v;
    }

    const std::string group = debian_group(f.kind);
    if (f.access_error == EACCES || f.access_error == EPERM) {
        const bool group_rw = (f.mode & 060) == 060 && f.gid != 0;
        const std::string owner = describe_owner(f);
        if (group_rw && contains(who.member_of, f.gid) && !contains(who.groups, f.gid)) {
            v.problem = "permission denied: " + f.node + " is " + owner + "; " + who.user +
                        " was added to group " + group_text(f) +
                        ", but this login started before that";
            v.fix = "Log out and log in again (or, for one shell: newgrp " + group_text(f) + ").";
        } else if (group_rw) {
            v.problem = "permission denied: " + f.node + " is " + owner + " and " + who.user +
                        " is not in group " + group_text(f);
            v.fix = "sudo usermod -aG " + group_text(f) + " " + who.user +
                    ", then log out and log in again.";
            if (covered_by_rule(f.kind) && !rules_installed)
                v.fix += " Or, for the logged-in user without a group: " + rule_fix(false);
        } else {
            v.problem = "permission denied: " + f.node + " is " + owner + ": only " +
                        (f.owner_name.empty() ? std::to_string(f.uid) : f.owner_name) +
                        " may open it";
            if (covered_by_rule(f.kind))
                v.fix = rule_fix(rules_installed);
            else
                v.fix = "sudo chgrp " + group + " " + f.node + " && sudo chmod g+rw " + f.node +
                        " (until the next boot; Debian's own udev rules give it group " + group +
                        "), and sudo usermod -aG " + group + " " + who.user +
                        ", then log out and log in again.";
        }
        return v;
    }
    if (f.access_error != 0) {
        v.problem = f.node + ": " + std::strerror(f.access_error);
        return v;
    }
    if (!f.holders.empty()) {
        v.problem = f.node + " is held by " + join_holders(f.holders);
        v.fix = holder_fix(f.holders.front(), rules_installed);
        return v;
    }
    v.usable = true;
    if (!f.services.empty() && !f.holders_visible)
        v.note =
            join_holders(f.services) + " is running and may take this port; " +
            (rules_installed ? "the udev rule keeps it off the printer's port." : rule_fix(false));
    // Root opens anything: say when the technician's own login could not.
    const bool others_may = (f.mode & 006) == 006 || ((f.mode & 060) == 060 && f.gid != 0);
    if (who.uid == 0 && f.uid == 0 && !others_may && v.note.empty())
        v.note = "only root may open it (" + describe_owner(f) + "): " +
                 (covered_by_rule(f.kind)
                      ? rule_fix(rules_installed)
                      : "sudo chgrp " + group + " " + f.node + " && sudo chmod g+rw " + f.node);
    return v;
}

std::vector<Holder> node_holders(const std::string& root, const std::string& node,
                                 bool& all_visible) {
    all_visible = true;
    // A descriptor's link names the node as the holder opened it: the path
    // itself, the file behind a symbolic link, or (in a fake tree) the path
    // the node has on a real machine.
    std::vector<std::string> names{node};
    std::error_code ec;
    const fs::path real = fs::canonical(node, ec);
    if (!ec) names.push_back(real.string());
    if (!root.empty() && node.starts_with(root + "/")) names.push_back(node.substr(root.size()));

    std::vector<Holder> out;
    const int self = root.empty() ? static_cast<int>(::getpid()) : -1;
    for (int pid : process_ids(root)) {
        if (pid == self) continue;
        const std::string fd_dir = root + "/proc/" + std::to_string(pid) + "/fd";
        std::error_code dec;
        fs::directory_iterator it(fd_dir, dec), end;
        if (dec) {
            // Other users' descriptors are closed to us; a process that
            // ended meanwhile is not.
            if (dec.value() == EACCES || dec.value() == EPERM) all_visible = false;
            continue;
        }
        for (; !dec && it != end; it.increment(dec)) {
            std::error_code lec;
            const std::string target = fs::read_symlink(it->path(), lec).string();
            if (lec) continue;
            if (std::find(names.begin(), names.end(), target) != names.end()) {
                out.push_back({pid, comm_of(root, pid)});
                break;
            }
        }
    }
    return out;
}

std::vector<Holder> processes_named(const std::string& root,
                                    const std::vector<std::string>& names) {
    std::vector<Holder> out;
    if (names.empty()) return out;
    for (int pid : process_ids(root)) {
        const std::string n = comm_of(root, pid);
        if (std::find(names.begin(), names.end(), n) != names.end()) out.push_back({pid, n});
    }
    return out;
}

NodeFacts node_facts(const std::string& root, const std::string& node, NodeKind kind) {
    NodeFacts f;
    f.node = node;
    f.kind = kind;
    struct stat st {};
    if (::stat(node.c_str(), &st) != 0) return f;
    f.exists = true;
    f.uid = st.st_uid;
    f.gid = st.st_gid;
    f.mode = st.st_mode & 07777;
    if (const passwd* pw = ::getpwuid(st.st_uid)) f.owner_name = pw->pw_name;
    if (const group* gr = ::getgrgid(st.st_gid)) f.group_name = gr->gr_name;
    f.access_error = kp28::ports::access_error(node);
    f.holders = node_holders(root, node, f.holders_visible);
    if (kind == NodeKind::CdcSerial) f.services = processes_named(root, {"ModemManager"});
    if (kind == NodeKind::UsbSerial) f.services = processes_named(root, {"brltty"});
    return f;
}

Identity current_identity() {
    Identity id;
    id.uid = ::geteuid();
    gid_t primary = ::getegid();
    if (const passwd* pw = ::getpwuid(id.uid)) {
        id.user = pw->pw_name;
        primary = pw->pw_gid;
    } else {
        id.user = std::to_string(id.uid);
    }
    id.groups.push_back(::getegid());
    const int n = ::getgroups(0, nullptr);
    if (n > 0) {
        std::vector<gid_t> g(static_cast<std::size_t>(n));
        const int got = ::getgroups(n, g.data());
        if (got > 0) id.groups.insert(id.groups.end(), g.begin(), g.begin() + got);
    }
    int count = 64;
    std::vector<gid_t> member(static_cast<std::size_t>(count));
    if (::getgrouplist(id.user.c_str(), primary, member.data(), &count) < 0 && count > 64) {
        member.resize(static_cast<std::size_t>(count));
        ::getgrouplist(id.user.c_str(), primary, member.data(), &count);
    }
    if (count > 0) member.resize(static_cast<std::size_t>(count));
    id.member_of = member;
    return id;
}

std::optional<std::string> udev_rules_path(const std::string& root) {
    for (const char* dir : {"etc/udev/rules.d", "run/udev/rules.d", "usr/local/lib/udev/rules.d",
                            "usr/lib/udev/rules.d", "lib/udev/rules.d"}) {
        std::error_code ec;
        const std::string path = root + "/" + dir + "/" + kUdevRulesFile;
        if (fs::exists(path, ec)) return path;
    }
    return std::nullopt;
}

bool udev_rules_installed(const std::string& root) {
    return udev_rules_path(root).has_value();
}

namespace {

bool executable(const std::string& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

Found find_updater() {
    Found f;
    if (const char* named = std::getenv("KP28FWUPDATE"); named && *named) {
        f.path = named;
        f.ok = executable(f.path);
        if (!f.ok) f.error = "KP28FWUPDATE names " + f.path + ", which is not an executable file";
        return f;
    }
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    std::vector<std::string> candidates;
    if (!ec) {
        candidates.push_back((self.parent_path() / "Kp28FWUpdate").string());
        candidates.push_back((self.parent_path() / "kp28fwupdate").string());
    }
    if (const char* path = std::getenv("PATH")) {
        std::string p = path;
        std::size_t start = 0;
        while (start <= p.size()) {
            const std::size_t end = std::min(p.find(':', start), p.size());
            const std::string dir = end > start ? p.substr(start, end - start) : ".";
            candidates.push_back(dir + "/Kp28FWUpdate");
            candidates.push_back(dir + "/kp28fwupdate");
            start = end + 1;
        }
    }
    for (const auto& c : candidates)
        if (executable(c)) {
            f.ok = true;
            f.path = c;
            return f;
        }
    f.error = "Kp28FWUpdate is neither beside this program nor on PATH";
    return f;
}

Found find_usb_library() {
    Found f;
    const std::string name = usb_library_file();
    ::dlerror();
    void* h = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* e = ::dlerror();
        f.error = e ? e : ("cannot load " + name);
        return f;
    }
    link_map* map = nullptr;
    if (::dlinfo(h, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && *map->l_name)
        f.path = map->l_name;
    else
        f.path = name;
    f.ok = true;
    for (const char* sym :
         {"Kp28wrap_connect", "Kp28wrap_write", "Kp28wrap_disconnect", "Kp28wrap_geterrno"})
        if (!::dlsym(h, sym)) {
            f.ok = false;
            f.error = f.path + " has no " + sym;
            break;
        }
    ::dlclose(h);
    return f;
}

Found working_directory_writable() {
    Found f;
    std::error_code ec;
    f.path = fs::current_path(ec).string();
    if (ec) {
        f.error = "the working directory cannot be named: " + ec.message();
        return f;
    }
    if (::faccessat(AT_FDCWD, ".", W_OK | X_OK, AT_EACCESS) == 0) {
        f.ok = true;
        return f;
    }
    f.error = f.path + ": " + std::strerror(errno);
    return f;
}

}  // namespace kp28setup
