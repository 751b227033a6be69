// Why a device node cannot be used and what fixes it: the checks behind
// `kp28setup doctor`. Facts are gathered from the same sysroot the tools use
// (nodes, and proc/ for the processes that hold them); the verdict is a pure
// function of the facts and of who asks, so every case can be tested without
// changing the machine's users or services.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace kp28setup {

// What kind of node it is decides the group Debian gives it and which
// service is known to grab it.
enum class NodeKind {
    UsbPrinter,  // usblp, dev/usb/lpN: group lp
    CdcSerial,   // the printer's own USB serial port, ttyACMn: group dialout, ModemManager
    UsbSerial,   // a USB-to-serial adapter, ttyUSBn: group dialout, brltty
    Serial,      // a built-in serial port, ttySn: group dialout
    Parallel,    // dev/lpN: group lp
};

// A process that has the node open.
struct Holder {
    int pid = 0;
    std::string name;  // its comm: "ModemManager", "brltty"
};

struct NodeFacts {
    std::string node;  // as the scan gives it (below the sysroot)
    NodeKind kind = NodeKind::Serial;
    bool exists = false;
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t mode = 0;         // permission bits
    std::string owner_name;  // empty when the user database does not know the id
    std::string group_name;
    int access_error = 0;          // errno of the read-write access check, 0: allowed
    std::vector<Holder> holders;   // other processes that have it open
    std::vector<Holder> services;  // running services known to grab this kind of node
    bool holders_visible = true;   // false: some processes' descriptors could not be read
};

// Who runs the check.
struct Identity {
    uid_t uid = 0;
    std::string user;
    std::vector<gid_t> groups;     // the effective group and the supplementary ones of this login
    std::vector<gid_t> member_of;  // the groups the user database gives the user now
};

struct Verdict {
    bool usable = false;
    std::string problem;  // empty when usable
    std::string fix;      // the exact steps, empty when usable
    std::string note;     // a warning that does not make the node unusable
};

// The rules file this project installs, and whether it is in place.
inline constexpr const char* kUdevRulesFile = "70-kp28.rules";

Verdict judge_node(const NodeFacts& facts, const Identity& who, bool rules_installed);

// Reads the facts of one node below root ("" for the real root): stat, the
// access check, the user database names, the holders found in root/proc.
NodeFacts node_facts(const std::string& root, const std::string& node, NodeKind kind);

// The processes under root/proc that have node open (the process itself
// left out), and whether every process's descriptors could be read.
std::vector<Holder> node_holders(const std::string& root, const std::string& node,
                                 bool& all_visible);
// Running processes under root/proc with one of the given names.
std::vector<Holder> processes_named(const std::string& root, const std::vector<std::string>& names);

Identity current_identity();

// Whether the rules file is in one of udev's rules directories below root
// (/etc, /run, /usr/local/lib, /usr/lib, /lib), and where.
bool udev_rules_installed(const std::string& root);
std::optional<std::string> udev_rules_path(const std::string& root);

// Where a deliverable the setup tool needs was found.
struct Found {
    bool ok = false;
    std::string path;   // the file, when found
    std::string error;  // why not, when not
};
// Kp28FWUpdate as the setup tool finds it: KP28FWUPDATE when set, else beside
// this program's own executable, else on PATH (either spelling).
Found find_updater();
// libkp28wrap.so.1 as the setup tool loads it (KP28WRAP_LIBRARY names a file
// instead): loaded, its exports looked up, and unloaded again.
Found find_usb_library();
// Whether this process may create files in its working directory.
Found working_directory_writable();

// "root:dialout 0660", the way ls shows owner, group and mode.
std::string describe_owner(const NodeFacts& facts);

}  // namespace kp28setup
