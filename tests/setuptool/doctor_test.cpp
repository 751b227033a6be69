// kp28setup doctor and the permission hint: the verdict for each kind of
// refusal (missing node, a group the user lacks, a login older than the group,
// a node only root may open, a service holding the port), the holders found
// in a fake proc tree, and the programs run as children against fake trees:
// as root, and as an unprivileged user where setpriv can make one.
#include <gtest/gtest.h>
#include <kp28/access_hint.h>
#include <kp28/fake_sysroot.h>
#include <kp28setup/access_check.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "../fwupdate/child_process.h"

namespace setuptest {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using kp28setup::Holder;
using kp28setup::Identity;
using kp28setup::NodeFacts;
using kp28setup::NodeKind;
using nlohmann::json;

constexpr gid_t kDialout = 20;
constexpr gid_t kLp = 7;

NodeFacts facts(NodeKind kind, const std::string& node, uid_t uid, gid_t gid,
                const std::string& group, mode_t mode, int access_error) {
    NodeFacts f;
    f.node = node;
    f.kind = kind;
    f.exists = true;
    f.uid = uid;
    f.gid = gid;
    f.owner_name = uid == 0 ? "root" : "";
    f.group_name = group;
    f.mode = mode;
    f.access_error = access_error;
    return f;
}

Identity technician(std::vector<gid_t> groups, std::vector<gid_t> member_of) {
    return Identity{1000, "tech", std::move(groups), std::move(member_of)};
}

struct VerdictCase {
    const char* what;
    NodeFacts f;
    Identity who;
    bool rules;
    bool usable;
    std::string problem_has;  // empty: no problem expected
    std::string fix_has;
    std::string note_has;
};

TEST(DoctorVerdict, EachRefusalGetsItsReasonAndFix) {
    NodeFacts missing;
    missing.node = "/dev/usb/lp0";
    missing.kind = NodeKind::UsbPrinter;
    auto held = [](NodeKind k, const std::string& node, Holder h) {
        auto f = facts(k, node, 0, kDialout, "dialout", 0660, 0);
        f.holders = {h};
        return f;
    };
    auto service_running = [] {
        auto f = facts(NodeKind::CdcSerial, "/dev/ttyACM0", 0, kDialout, "dialout", 0660, 0);
        f.services = {{812, "ModemManager"}};
        f.holders_visible = false;
        return f;
    };
    const std::vector<VerdictCase> cases = {
        {"missing usblp node", missing, technician({1000}, {1000}), false, false,
         "/dev/usb/lp0 is missing", "sudo modprobe usblp", ""},
        {"not in the node's group",
         facts(NodeKind::Serial, "/dev/ttyS0", 0, kDialout, "dialout", 0660, EACCES),
         technician({1000}, {1000}), false, false,
         "root:dialout 0660 and tech is not in group dialout",
         "sudo usermod -aG dialout tech, then log out and log in again", ""},
        {"added to the group after logging in",
         facts(NodeKind::UsbPrinter, "/dev/usb/lp0", 0, kLp, "lp", 0660, EACCES),
         technician({1000}, {1000, kLp}), false, false, "was added to group lp",
         "Log out and log in again", ""},
        {"printer node only root may open, no rule",
         facts(NodeKind::UsbPrinter, "/dev/usb/lp0", 0, 0, "root", 0600, EACCES),
         technician({1000}, {1000}), false, false, "only root may open it",
         "Install the udev rule 70-kp28.rules", ""},
        {"printer node only root may open, rule not applied",
         facts(NodeKind::CdcSerial, "/dev/ttyACM0", 0, 0, "root", 0600, EACCES),
         technician({1000}, {1000}), true, false, "only root may open it",
         "installed but was not applied", ""},
        {"built-in port only root may open",
         facts(NodeKind::Serial, "/dev/ttyS1", 0, 0, "root", 0600, EPERM),
         technician({1000}, {1000}), false, false, "permission denied",
         "sudo chgrp dialout /dev/ttyS1", ""},
        {"read-only file system", facts(NodeKind::Parallel, "/dev/lp0", 0, kLp, "lp", 0660, EROFS),
         technician({1000, kLp}, {1000, kLp}), false, false, "Read-only file system", "", ""},
        {"ModemManager holds the CDC port",
         held(NodeKind::CdcSerial, "/dev/ttyACM0", {812, "ModemManager"}),
         technician({1000, kDialout}, {1000, kDialout}), false, false,
         "held by ModemManager (pid 812)", "sudo systemctl stop ModemManager", ""},
        {"brltty holds the adapter", held(NodeKind::UsbSerial, "/dev/ttyUSB0", {640, "brltty"}),
         technician({1000, kDialout}, {1000, kDialout}), true, false, "held by brltty (pid 640)",
         "sudo apt-get remove brltty", ""},
        {"another program holds the port", held(NodeKind::Serial, "/dev/ttyS0", {77, "minicom"}),
         technician({1000, kDialout}, {1000, kDialout}), true, false, "held by minicom (pid 77)",
         "kill 77", ""},
        {"ModemManager runs but its descriptors are closed to us", service_running(),
         technician({1000, kDialout}, {1000, kDialout}), false, true, "", "",
         "ModemManager (pid 812) is running"},
        {"root opens a node others may not",
         facts(NodeKind::UsbPrinter, "/dev/usb/lp0", 0, 0, "root", 0600, 0),
         Identity{0, "root", {0}, {0}}, false, true, "", "", "only root may open it"},
        {"usable through the group",
         facts(NodeKind::Serial, "/dev/ttyS0", 0, kDialout, "dialout", 0660, 0),
         technician({1000, kDialout}, {1000, kDialout}), false, true, "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto v = kp28setup::judge_node(c.f, c.who, c.rules);
        EXPECT_EQ(v.usable, c.usable);
        if (c.problem_has.empty())
            EXPECT_EQ(v.problem, "");
        else
            EXPECT_NE(v.problem.find(c.problem_has), std::string::npos) << v.problem;
        if (!c.fix_has.empty()) {
            EXPECT_NE(v.fix.find(c.fix_has), std::string::npos) << v.fix;
        }
        if (c.note_has.empty())
            EXPECT_EQ(v.note, "");
        else
            EXPECT_NE(v.note.find(c.note_has), std::string::npos) << v.note;
    }
}

TEST(PermissionHint, OnlyARefusalOfRightsPointsAtTheDoctor) {
    for (int e : {EACCES, EPERM})
        EXPECT_NE(kp28::permission_hint(e).find("kp28setup doctor"), std::string::npos) << e;
    for (int e : {0, ENOENT, EBUSY, EIO}) EXPECT_EQ(kp28::permission_hint(e), "") << e;
}

// A fake proc tree: process pid named comm with descriptor fd linked to target.
void stage_process(const kp28::FakeSysroot& root, int pid, const std::string& comm,
                   const std::vector<std::string>& targets) {
    const fs::path dir = root.path("proc/" + std::to_string(pid));
    fs::create_directories(dir / "fd");
    std::ofstream(dir / "comm") << comm << "\n";
    int fd = 3;
    for (const auto& t : targets) fs::create_symlink(t, dir / "fd" / std::to_string(fd++));
}

TEST(DoctorHolders, FoundByTheNodeUnderEveryNameItCanBeOpenedBy) {
    kp28::FakeSysroot root;
    auto& pty = root.add_serial_port("ttyACM0", true);
    const std::string node = root.serial_node("ttyACM0");
    stage_process(root, 812, "ModemManager", {"/dev/null", pty.slave_path()});
    stage_process(root, 640, "brltty", {"/dev/ttyACM0"});  // the path on a real machine
    stage_process(root, 77, "minicom", {node});
    stage_process(root, 90, "cupsd", {"/dev/null", "/dev/ttyACM1"});
    fs::create_directories(root.path("proc/self/fd"));  // not a process id

    bool visible = false;
    const auto holders = kp28setup::node_holders(root.root(), node, visible);
    EXPECT_TRUE(visible);
    std::vector<std::pair<int, std::string>> got;
    for (const auto& h : holders) got.emplace_back(h.pid, h.name);
    const std::vector<std::pair<int, std::string>> want = {
        {77, "minicom"}, {640, "brltty"}, {812, "ModemManager"}};
    EXPECT_EQ(got, want);

    const auto services = kp28setup::processes_named(root.root(), {"ModemManager"});
    ASSERT_EQ(services.size(), 1u);
    EXPECT_EQ(services[0].pid, 812);
}

TEST(DoctorRules, FoundInEachOfUdevsDirectoriesOnly) {
    for (const char* dir : {"etc/udev/rules.d", "run/udev/rules.d", "usr/local/lib/udev/rules.d",
                            "usr/lib/udev/rules.d", "lib/udev/rules.d"}) {
        SCOPED_TRACE(dir);
        kp28::FakeSysroot root;
        EXPECT_FALSE(kp28setup::udev_rules_installed(root.root()));
        fs::create_directories(root.path(dir));
        std::ofstream(root.path(std::string(dir) + "/70-kp28.rules")) << "# rules\n";
        EXPECT_TRUE(kp28setup::udev_rules_installed(root.root()));
        EXPECT_EQ(kp28setup::udev_rules_path(root.root()),
                  root.path(std::string(dir) + "/70-kp28.rules"));
    }
    // A folder udev does not read.
    kp28::FakeSysroot root;
    fs::create_directories(root.path("usr/local/etc/udev/rules.d"));
    std::ofstream(root.path("usr/local/etc/udev/rules.d/70-kp28.rules")) << "# rules\n";
    EXPECT_FALSE(kp28setup::udev_rules_installed(root.root()));
}

// The programs as children against a fake tree.
class Doctor : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = std::make_unique<kp28::FakeSysroot>();
        work_ = fs::path(root_->root()) / "work";
        fs::create_directories(work_);
    }

    struct Run {
        int exit_code = -1;
        json out;
        std::string text, err;
    };

    // prefix: a command that runs the program (setpriv ... --), or empty.
    Run run(const std::vector<std::string>& args, std::map<std::string, std::string> env = {},
            std::vector<std::string> prefix = {}, const std::string& program = KP28SETUP_PATH) {
        std::vector<std::string> argv = prefix;
        argv.push_back(program);
        argv.insert(argv.end(), args.begin(), args.end());
        env["KP28_SYSROOT"] = root_->root();
        if (!env.count("KP28FWUPDATE")) env["KP28FWUPDATE"] = KP28FWUPDATE_PATH;
        if (!env.count("KP28WRAP_LIBRARY")) env["KP28WRAP_LIBRARY"] = KP28WRAP_PATH;
        env["KP28SETUP_READ_TIMEOUT_MS"] = "500";
        const auto r = fwtest::run_child(argv, env, work_.string(), 60s);
        Run out;
        out.exit_code = r.exit_code;
        out.text = r.out;
        out.err = r.err;
        out.out = json::parse(r.out, nullptr, false);
        return out;
    }

    static const json* check(const json& out, const std::string& kind, const std::string& path) {
        for (const auto& c : out["checks"])
            if (c["check"].get<std::string>().starts_with(kind) &&
                (path.empty() || c["path"] == path))
                return &c;
        return nullptr;
    }

    // An unprivileged user to run as: nobody through setpriv, when this
    // suite runs as root (as it does here and in CI) and setpriv is there.
    std::vector<std::string> as_nobody() {
        if (::geteuid() != 0) return {};
        for (const char* p : {"/usr/bin/setpriv", "/bin/setpriv"})
            if (::access(p, X_OK) == 0) {
                // The tree must be walkable by that user; its nodes keep their own modes.
                fs::permissions(root_->root(), fs::perms::owner_all | fs::perms::group_read |
                                                   fs::perms::group_exec | fs::perms::others_read |
                                                   fs::perms::others_exec);
                return {p, "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
            }
        return {};
    }

    // A node that is a plain file of the given mode, owned by root:root.
    void replace_node(const std::string& node, fs::perms mode) {
        fs::remove(node);
        std::ofstream(node) << "";
        fs::permissions(node, mode);
    }

    std::unique_ptr<kp28::FakeSysroot> root_;
    fs::path work_;
};

TEST_F(Doctor, EverythingUsableExitsZero) {
    root_->add_serial_port("ttyS0");
    root_->add_usb_printer(0);
    const auto r = run({"doctor", "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.text << r.err;
    EXPECT_TRUE(r.out["ok"].get<bool>());
    const json* com = check(r.out, "interface", root_->serial_node("ttyS0"));
    ASSERT_NE(com, nullptr) << r.text;
    EXPECT_EQ((*com)["name"], "COM1");
    const json* usb = check(r.out, "usb printer", root_->usb_node(0));
    ASSERT_NE(usb, nullptr) << r.text;
    EXPECT_TRUE((*usb)["ok"].get<bool>());
    for (const char* k : {"updater", "library", "working directory"}) {
        const json* c = check(r.out, k, "");
        ASSERT_NE(c, nullptr) << k;
        EXPECT_TRUE((*c)["ok"].get<bool>()) << k << ": " << (*c)["problem"];
    }
}

TEST_F(Doctor, EachMissingPieceFailsWithItsFix) {
    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::map<std::string, std::string> env;
        const char* kind;
        const char* problem_has;
        const char* fix_has;
    };
    const std::vector<Case> cases = {
        {"usb node missing",
         [&] { root_->unplug_usb_node(0); },
         {},
         "usb printer",
         "is missing",
         "modprobe usblp"},
        {"ModemManager holds the CDC port",
         [&] {
             auto& pty = root_->add_serial_port("ttyACM0", true);
             stage_process(*root_, 812, "ModemManager", {pty.slave_path()});
         },
         {},
         "interface (usb cdc serial)",
         "held by ModemManager (pid 812)",
         "ModemManager"},
        {"brltty holds the adapter",
         [&] {
             root_->add_serial_port("ttyUSB0");
             stage_process(*root_, 640, "brltty", {"/dev/ttyUSB0"});
         },
         {},
         "interface (usb serial adapter)",
         "held by brltty (pid 640)",
         "brltty"},
        {"no updater",
         [] {},
         {{"KP28FWUPDATE", "/nonexistent/Kp28FWUpdate"}},
         "updater",
         "not an executable file",
         "KP28FWUPDATE"},
        {"no library",
         [] {},
         {{"KP28WRAP_LIBRARY", "/nonexistent/libkp28wrap.so.1"}},
         "library",
         "/nonexistent/libkp28wrap.so.1",
         "KP28WRAP_LIBRARY"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        root_->add_usb_printer(0);
        c.arrange();
        const auto r = run({"doctor", "--json"}, c.env);
        EXPECT_EQ(r.exit_code, 1) << r.text << r.err;
        EXPECT_FALSE(r.out["ok"].get<bool>());
        const json* k = check(r.out, c.kind, "");
        ASSERT_NE(k, nullptr) << r.text;
        EXPECT_FALSE((*k)["ok"].get<bool>());
        EXPECT_NE((*k)["problem"].get<std::string>().find(c.problem_has), std::string::npos)
            << (*k)["problem"];
        EXPECT_NE((*k)["fix"].get<std::string>().find(c.fix_has), std::string::npos) << (*k)["fix"];
    }
}

TEST_F(Doctor, TextReportSaysEachProblemAndItsFix) {
    root_->add_usb_printer(0);
    root_->unplug_usb_node(0);
    const auto r = run({"doctor"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.text.find("FAILED  usb printer: USB  " + root_->usb_node(0)), std::string::npos)
        << r.text;
    EXPECT_NE(r.text.find("        fix: Switch the printer on"), std::string::npos) << r.text;
    EXPECT_NE(r.text.find("result: 1 problem; the fixes are above"), std::string::npos) << r.text;
}

// Root may open a node that only root may open: usable, but the line says
// "warning", not "ok", next to the reason the technician's login could not;
// the rules are looked for where udev reads them (here staged in the tree).
TEST_F(Doctor, OneVerdictANodeAndTheRulesWhereUdevReadsThem) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to open a node only root may open";
    root_->add_usb_printer(0);
    const std::string node = root_->usb_node(0);
    replace_node(node, fs::perms::owner_read | fs::perms::owner_write);
    const auto machine_rules = kp28setup::udev_rules_path("");
    for (const bool staged : {false, true}) {
        SCOPED_TRACE(staged ? "rules staged in the tree" : "no rules in the tree");
        if (staged) {
            fs::create_directories(root_->path("lib/udev/rules.d"));
            std::ofstream(root_->path("lib/udev/rules.d/70-kp28.rules")) << "# rules\n";
        }
        const bool rules = staged || machine_rules;
        const auto r = run({"doctor", "--json"});
        EXPECT_EQ(r.exit_code, 0) << r.text << r.err;
        const json* usb = check(r.out, "usb printer", node);
        ASSERT_NE(usb, nullptr) << r.text;
        EXPECT_TRUE((*usb)["ok"].get<bool>());
        EXPECT_EQ((*usb)["verdict"], "warning");
        const std::string note = (*usb)["note"];
        EXPECT_NE(note.find("only root may open it"), std::string::npos) << note;
        EXPECT_EQ(note.find("Install the udev rule") == std::string::npos, rules) << note;
        const json* rule = check(r.out, "udev rule", "");
        ASSERT_NE(rule, nullptr) << r.text;
        EXPECT_TRUE((*rule)["ok"].get<bool>());
        EXPECT_EQ((*rule)["verdict"], rules ? "ok" : "warning");
        if (rules)
            EXPECT_EQ((*rule)["path"], machine_rules
                                           ? *machine_rules
                                           : root_->path("lib/udev/rules.d/70-kp28.rules"));
        else
            EXPECT_NE((*rule)["fix"].get<std::string>().find("dist/udev/70-kp28.rules"),
                      std::string::npos);

        const auto t = run({"doctor"});
        EXPECT_NE(t.text.find("warning usb printer: USB  " + node), std::string::npos) << t.text;
        EXPECT_EQ(t.text.find("ok      usb printer"), std::string::npos) << t.text;
        EXPECT_NE(t.text.find("result: everything needed is usable; "), std::string::npos)
            << t.text;
    }
}

TEST_F(Doctor, AnUnprivilegedUserIsToldWhichGroupItLacks) {
    const auto nobody = as_nobody();
    if (nobody.empty()) GTEST_SKIP() << "needs root and setpriv to run as an unprivileged user";
    root_->add_serial_port("ttyS0");
    // root:root 0660: only a member of the node's group would do, and
    // nobody is in none; the working directory is root's own.
    const std::string node = root_->serial_node("ttyS0");
    replace_node(node, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                           fs::perms::group_write);
    ASSERT_EQ(::chown(node.c_str(), 0, 20), 0);  // dialout on Debian
    const auto r = run({"doctor", "--json"}, {}, nobody);
    EXPECT_EQ(r.exit_code, 1) << r.text << r.err;
    const json* com = check(r.out, "interface", node);
    ASSERT_NE(com, nullptr) << r.text;
    EXPECT_FALSE((*com)["ok"].get<bool>());
    EXPECT_NE((*com)["problem"].get<std::string>().find("nobody is not in group"),
              std::string::npos)
        << (*com)["problem"];
    EXPECT_NE((*com)["fix"].get<std::string>().find("sudo usermod -aG"), std::string::npos);
    const json* wd = check(r.out, "working directory", "");
    ASSERT_NE(wd, nullptr);
    EXPECT_FALSE((*wd)["ok"].get<bool>());
}

TEST_F(Doctor, ARefusedOpenEndsWithThePointerToTheDoctor) {
    const auto nobody = as_nobody();
    if (nobody.empty()) GTEST_SKIP() << "needs root and setpriv to run as an unprivileged user";
    root_->add_serial_port("ttyS0");
    root_->add_usb_printer(0);
    replace_node(root_->serial_node("ttyS0"), fs::perms::owner_read | fs::perms::owner_write);
    replace_node(root_->usb_node(0), fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(work_, fs::perms::all);

    const auto setup = run({"read", "-i", "COM1", "--yes"}, {}, nobody);
    EXPECT_EQ(setup.exit_code, 1) << setup.text << setup.err;
    EXPECT_NE(setup.err.find("Run \"kp28setup doctor\""), std::string::npos) << setup.err;

    // A setup file sent to a parallel node this user may not open.
    root_->add_parallel_port(0);
    replace_node(root_->parallel_node(0), fs::perms::owner_read | fs::perms::owner_write);
    // One whole frame: anything else is refused before the node is opened.
    std::ofstream(work_ / "s.dmp", std::ios::binary)
        << std::string("\x14\x14\x1B\x14\x01\x00\x0D", 7);
    fs::permissions(work_ / "s.dmp", fs::perms::all);
    const auto send = run({"send", "s.dmp", "-i", "LPT1"}, {}, nobody);
    EXPECT_EQ(send.exit_code, 1) << send.text << send.err;
    EXPECT_NE(send.err.find("Permission denied"), std::string::npos) << send.err;
    EXPECT_NE(send.err.find("Run \"kp28setup doctor\""), std::string::npos) << send.err;

    const auto updater = run({"-protocol", "share", "-r", "-v"}, {}, nobody, KP28FWUPDATE_PATH);
    EXPECT_EQ(updater.exit_code, 1) << updater.text << updater.err;
    EXPECT_NE(updater.text.find("Printer connection failure"), std::string::npos) << updater.text;
    EXPECT_NE(
        updater.text.find(root_->usb_node(0) + ": Permission denied. Run \"kp28setup doctor\""),
        std::string::npos)
        << updater.text;
}

}  // namespace
}  // namespace setuptest
