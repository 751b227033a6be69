// kp28setup as a child process against the virtual printer on every link of a
// fake sysroot: the bytes of a setup file as they arrive on its USB, parallel,
// TCP and serial nodes; the real updater started as the child for firmware
// load, reboot and USB identifier, with its report; a stand-in updater that
// records the command line, working directory and INI file it was given; the
// firmware sent straight over the parallel port, the USB CDC port and FTP to a
// loopback server; and the failure boxes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <kp28/fake_sysroot.h>
#include <kp28/nvm_crc.h>
#include <kp28/protocol/setup.h>
#include <kp28sim/virtual_printer.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <test_servers.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <random>
#include <set>

#include "cli_run.h"

namespace setuptest {
namespace {

using namespace std::chrono_literals;
using kp28sim::Direction;
using kp28sim::LinkKind;
using kp28sim::Model;
using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

const char* kWaitReinit = "WAIT UNTIL THE PRINTER TO BE RE-INITIALIZE";
const char* kCover = "OPEN COVER, PRESS KEY S1 and TURN ON THE PRINTER";

// The report window's lines beside the outcome.
struct LinksRun : CliRun {
    std::vector<std::string> report_lines() const {
        std::vector<std::string> lines;
        if (out.contains("report") && out["report"].is_object())
            for (const auto& l : out["report"]["lines"]) {
                // "(PID=n)Tue Dec  8 11:56:04.684 text": the text alone (the
                // milliseconds are not padded).
                std::string s = l;
                const auto close = s.find(')');
                if (s.rfind("(PID=", 0) == 0 && close != std::string::npos) {
                    const auto space = s.find(' ', close + 1 + 19);
                    if (space != std::string::npos) s = s.substr(space + 1);
                }
                lines.push_back(s);
            }
        return lines;
    }
};

Bytes random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    return b;
}

// ELF-looking data whose version tag the printer takes as its new version.
Bytes elf_image(std::size_t size, const std::string& version) {
    Bytes s = random_bytes(size, 7);
    const std::string head =
        "\x7F"
        "ELF";
    std::copy(head.begin(), head.end(), s.begin());
    const std::string tag = "KP28FW:" + version;
    std::copy(tag.begin(), tag.end(), s.begin() + 64);
    return s;
}

std::set<std::string> entries(const fs::path& dir) {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
    return out;
}

// A loopback port that nothing listens on.
std::uint16_t closed_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

class Kp28setupLinks : public ::testing::Test {
  protected:
    void SetUp() override { fresh_root(); }

    void fresh_root() {
        printer_.reset();
        root_ = std::make_unique<kp28::FakeSysroot>();
        dir_ = fs::path(root_->root()) / "work";
        runtime_ = fs::path(root_->root()) / "runtime";
        fs::create_directories(dir_);
        fs::create_directories(runtime_);
        fs::permissions(runtime_, fs::perms::owner_all);
    }

    kp28sim::VirtualPrinter& start(
        Model model, const std::function<void(kp28sim::PrinterConfig&)>& adjust = {}) {
        kp28sim::PrinterConfig c;
        c.model = model;
        c.reboot_downtime = 200ms;
        if (adjust) adjust(c);
        printer_ = std::make_unique<kp28sim::VirtualPrinter>(*root_, c);
        printer_->start();
        return *printer_;
    }

    LinksRun run(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
        args.push_back("--json");
        env["KP28SETUP_READ_TIMEOUT_MS"] = "1000";
        env["KP28FW_REBOOT_PERIOD_MS"] = "100";
        env["XDG_RUNTIME_DIR"] = runtime_.string();
        const auto before = entries(dir_);
        LinksRun out{run_kp28setup(std::move(args), std::move(env), root_->root(), dir_.string())};
        // The helper files lived in the run directory, which went with the program.
        EXPECT_EQ(entries(dir_), before) << "the working directory changed";
        EXPECT_TRUE(entries(runtime_).empty()) << "the run directory was left behind";
        return out;
    }

    fs::path write(const std::string& name, const Bytes& bytes) {
        const fs::path p = dir_ / name;
        std::ofstream f(p, std::ios::binary);
        f.write(reinterpret_cast<const char*>(bytes.data()),
                static_cast<std::streamsize>(bytes.size()));
        return p;
    }

    Bytes arrived(LinkKind kind, std::size_t expected) {
        printer_->wait_until(
            [&] { return printer_->bytes(kind, Direction::ToPrinter).size() >= expected; }, 10s);
        return printer_->bytes(kind, Direction::ToPrinter);
    }

    // The printer's thread reads the tree's terminals: declared after the tree,
    // it is stopped before the tree is taken down.
    std::unique_ptr<kp28::FakeSysroot> root_;
    std::unique_ptr<kp28sim::VirtualPrinter> printer_;
    fs::path dir_, runtime_;
};

// A setup file of 11 bytes is the frame of an empty image, one of 2059 the
// frame of a whole NVM; the others are one frame of a class the printer only
// records (the senders take nothing but whole frames).
Bytes setup_file(std::size_t size) {
    if (size == 11) return kp28::load_setup_frame({}, {0, 0, 0, 0});
    if (size == 2059) {
        const Bytes nvm = kp28sim::default_nvm(Model::KP28Plus);
        return kp28::load_setup_frame(nvm, kp28::nvm_crc(nvm, nvm.size(), true));
    }
    const std::size_t length = size - 6;
    Bytes frame{0x14,
                0x14,
                0x1B,
                0x14,
                static_cast<std::uint8_t>(length & 0xFF),
                static_cast<std::uint8_t>(length >> 8),
                0x7F};
    const Bytes rest = random_bytes(size - frame.size(), static_cast<unsigned>(size));
    frame.insert(frame.end(), rest.begin(), rest.end());
    return frame;
}

TEST_F(Kp28setupLinks, SetupFileArrivesUnchangedOnEveryLink) {
    const struct {
        const char* entry;
        LinkKind kind;
    } links[] = {{"USB", LinkKind::Usb},
                 {"LPT1", LinkKind::Parallel},
                 {"LAN", LinkKind::Tcp},
                 {"COM1", LinkKind::Serial}};
    for (const auto& link : links) {
        for (const std::size_t size : {11, 512, 1000, 1024, 2059}) {
            SCOPED_TRACE(std::string(link.entry) + " " + std::to_string(size));
            fresh_root();
            auto& p = start(Model::KP28Plus);
            const Bytes file = setup_file(size);
            ASSERT_EQ(file.size(), size);
            write("s.dmp", file);
            std::vector<std::string> args{"send", "s.dmp", "-i", link.entry};
            if (link.kind == LinkKind::Tcp)
                args.insert(args.end(), {"--ip", "127.0.0.1:" + std::to_string(p.tcp_port())});
            const LinksRun r = run(args);
            EXPECT_EQ(r.exit_code, 0) << r.err;
            EXPECT_EQ(r.out["sent"], true);
            EXPECT_EQ(arrived(link.kind, size), file);
            EXPECT_EQ(r.texts(), link.kind == LinkKind::Tcp
                                     ? std::vector<std::string>{"SETUP EXECUTED"}
                                     : std::vector<std::string>{});
            if (size == 2059) {
                EXPECT_TRUE(p.wait_until([&] { return p.setup_frames_applied() == 1; }, 5s));
            }
            std::vector<std::size_t> pieces;
            for (const auto& e : p.transcript()) {
                if (e.direction != Direction::ToPrinter) continue;
                if (link.kind == LinkKind::Serial) {
                    EXPECT_EQ(e.speed, 9600u);
                }
                // A pause follows every USB piece, so the printer reads them apart.
                if (link.kind == LinkKind::Usb) pieces.push_back(e.bytes.size());
            }
            if (link.kind == LinkKind::Usb) {
                std::vector<std::size_t> want;
                for (std::size_t at = 0; at < size; at += 512)
                    want.push_back(std::min<std::size_t>(512, size - at));
                EXPECT_EQ(pieces, want);
            }
            printer_.reset();
        }
    }
}

TEST_F(Kp28setupLinks, FailuresAreShownAndNotCalledSuccess) {
    write("s.dmp", setup_file(1000));
    {
        SCOPED_TRACE("no USB printer");
        start(Model::KP28Plus, [](kp28sim::PrinterConfig& c) { c.usb_lp.reset(); });
        const LinksRun r = run({"send", "s.dmp", "-i", "USB"});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.texts(), (std::vector<std::string>{"Error code :512 invalid printer index",
                                                       "Error code :515 invalid DOOR value",
                                                       "Error code :515 invalid DOOR value"}));
        for (const auto& m : r.out["messages"]) EXPECT_EQ(m["title"], "Warning Message");
    }
    {
        SCOPED_TRACE("dead address");
        const std::string ip = "127.0.0.1:" + std::to_string(closed_port());
        const LinksRun r = run({"send", "s.dmp", "-i", "LAN", "--ip", ip});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.texts(), (std::vector<std::string>{"Connection Problem verify IP"}));
        EXPECT_EQ(r.out["messages"][0]["title"], "IP : " + ip);
        EXPECT_EQ(r.out["messages"][0]["icon"], "critical");
    }
    {
        SCOPED_TRACE("unwritable parallel node");
        const std::string node = printer_->parallel_node();
        fs::remove(node);
        fs::create_directory(node);
        const LinksRun r = run({"send", "s.dmp", "-i", "LPT1"});
        EXPECT_EQ(r.exit_code, 1);
        ASSERT_EQ(r.texts().size(), 1u);
        EXPECT_EQ(r.texts()[0],
                  "The setup file was not sent to LPT1: " + node + ": Is a directory");
        printer_.reset();
    }
}

TEST_F(Kp28setupLinks, RealUpdaterLoadsRebootsAndRecordsTheIdentifier) {
    auto& p = start(Model::KP28Plus);
    const Bytes image = elf_image(6000, "2.00B");
    write("fw.img", image);
    LinksRun r = run({"load-fw", "fw.img", "-i", "USB"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out["report"]["caption"], "DOWLOADING FIRMWARE ACTION REPORT");
    ASSERT_FALSE(r.report_lines().empty());
    EXPECT_EQ(r.report_lines().back(), "Firmware update successfully completed");
    EXPECT_EQ(r.out["updater_exit"], 0);
    EXPECT_TRUE(r.texts().empty());
    EXPECT_EQ(p.last_image().data, image);
    EXPECT_EQ(p.firmware_version(), "2.00B");

    r = run({"reboot", "-i", "USB"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out["report"]["caption"], "REBOOT ACTION REPORT");
    EXPECT_EQ(r.report_lines(),
              (std::vector<std::string>{
                  "Connecting to printer", "Retrieving Firmware Version",
                  "Current Firmware Version : 2.00B", "Enter REBOOT Mode",
                  "Sending reboot command to printer.", "Waiting for the printer to reboot",
                  "Current Firmware Version : 2.00B", "The printer is up and running",
                  "Reboot successfully completed."}));

    // An identifier with a blank reaches the updater whole.
    r = run({"usb-id", "TECH 0042 ROOM B", "-i", "USB"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out["report"]["caption"], "RECORDING USB SERIAL NUMBER ACTION REPORT");
    EXPECT_EQ(p.usb_id(), "TECH 0042 ROOM B");

    const auto usb_bytes = p.bytes(LinkKind::Usb, Direction::ToPrinter).size();
    r = run({"usb-id", std::string(33, 'X'), "-i", "USB"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.texts(), (std::vector<std::string>{"LENGHT OF USB IB ERROR !!!"}));
    EXPECT_EQ(r.out["printed"], json::array({"ERRORE LUNGHEZZA"}));
    EXPECT_TRUE(r.out["report"].is_null());
    EXPECT_EQ(p.bytes(LinkKind::Usb, Direction::ToPrinter).size(), usb_bytes);
    EXPECT_EQ(p.usb_id(), "TECH 0042 ROOM B");
}

// A stand-in for the updater: records what it was started with, writes two
// report lines and fails.
TEST_F(Kp28setupLinks, UpdaterGetsArgumentsAWorkingDirectoryAndTheIni) {
    kp28test::ScratchDir rec;
    const std::string script =
        rec.write_file("fake-updater",
                       "#!/bin/sh\n"
                       "out=" +
                           rec.path() +
                           "/record\n"
                           "pwd > \"$out.cwd\"\n"
                           "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$out.args\"\n"
                           "cp kp28fwupdate.ini \"$out.ini\"\n"
                           "for a in \"$@\"; do log=$a; done\n"
                           "printf 'first line\\r\\nsecond line\\n' > \"$log\"\n"
                           "exit 3\n");
    fs::permissions(script, fs::perms::owner_all);
    auto read = [&](const std::string& name) {
        std::string s;
        kp28test::read_file(rec.file(name), s);
        return s;
    };
    write("my fw.img", elf_image(100, "1.00A"));
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> child_args;  // before "-log"
        std::string caption;
    } cases[] = {
        {{"load-fw", "my fw.img", "-i", "USB"},
         {"-url", (dir_ / "my fw.img").string()},
         "DOWLOADING FIRMWARE ACTION REPORT"},
        {{"reboot"}, {"-r"}, "REBOOT ACTION REPORT"},
        {{"usb-id", "A B  C"}, {"-uid", "A B  C"}, "RECORDING USB SERIAL NUMBER ACTION REPORT"},
        {{"usb-id", std::string(32, '9')},
         {"-uid", std::string(32, '9')},
         "RECORDING USB SERIAL NUMBER ACTION REPORT"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        const LinksRun r = run(c.args, {{"KP28FWUPDATE", script}});
        EXPECT_EQ(r.exit_code, 1) << "the updater's failure is the command's";
        EXPECT_EQ(r.out["updater_exit"], 3);
        std::string cwd = read("record.cwd");
        ASSERT_FALSE(cwd.empty());
        cwd.pop_back();
        EXPECT_EQ(fs::path(cwd).parent_path(), runtime_);
        EXPECT_FALSE(fs::exists(cwd)) << "the run directory is removed at the end";
        std::string want;
        for (const auto& a : c.child_args) want += a + "\n";
        want += "-log\n" + cwd + "/tmp.out\n";
        EXPECT_EQ(read("record.args"), want);
        EXPECT_EQ(read("record.ini"),
                  "[General]\r\nPrinter = LPT1\r\nVerbose = Y\r\nLogFile=\r\nBufferSize = 8192\r\n"
                  "Reboot = n\r\n\r\n[FIRMWARE_DOWNLOAD]\r\nDefaultProtocol = share\r\n"
                  "DefaultURL=\r\nDefaultPort=\r\nDefaultUser=\r\nDefaultPassword=\r\n\r\n"
                  "[USB_IDENTIFIRE]\r\nDefaultUsbId=\r\n");
        EXPECT_EQ(r.out["report"]["caption"], c.caption);
        EXPECT_EQ(r.out["report"]["lines"], json::array({"first line", "second line"}));
        fs::remove(rec.file("record.cwd"));
    }
    // 33 characters: nothing is started.
    const LinksRun r = run({"usb-id", std::string(33, '9')}, {{"KP28FWUPDATE", script}});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_FALSE(fs::exists(rec.file("record.cwd")));
}

TEST_F(Kp28setupLinks, FirmwareGoesStraightOverParallelAndCdcPorts) {
    const Bytes image = elf_image(3000, "2.00B");
    write("fw.img", image);
    {
        SCOPED_TRACE("KP28Plus on LPT1");
        start(Model::KP28Plus);
        const LinksRun r = run({"load-fw", "fw.img", "-i", "LPT1", "--yes"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.texts(), (std::vector<std::string>{kCover}));
        EXPECT_EQ(arrived(LinkKind::Parallel, image.size()), image);
    }
    {
        SCOPED_TRACE("KP28 on LPT1");
        fresh_root();
        write("fw.img", image);
        start(Model::KP28);
        const LinksRun r = run({"load-fw", "fw.img", "-i", "LPT1", "--yes", "--model", "kp28"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.texts(), (std::vector<std::string>{kCover, kWaitReinit}));
        EXPECT_EQ(arrived(LinkKind::Parallel, image.size()), image);
    }
    {
        SCOPED_TRACE("KP28Plus on its USB CDC port");
        fresh_root();
        write("fw.img", image);
        auto& p = start(Model::KP28Plus, [](kp28sim::PrinterConfig& c) {
            c.serial = "ttyACM0";
            c.serial_cdc_acm = true;
        });
        const LinksRun r = run({"load-fw", "fw.img", "-i", "USB (CdC)", "--yes"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.texts(), (std::vector<std::string>{kCover}));
        EXPECT_EQ(r.out["interface"], "COM65");
        EXPECT_EQ(arrived(LinkKind::Serial, image.size()), image);
        for (const auto& e : p.transcript())
            if (e.direction == Direction::ToPrinter) {
                EXPECT_EQ(e.speed, 115200u);
            }
    }
}

TEST_F(Kp28setupLinks, Kp28FirmwareIsUploadedByFtpWithTheScriptsLogin) {
    const Bytes image = elf_image(5000, "2.00B");
    write("fw.img", image);
    start(Model::KP28);
    kp28test::ScratchDir site;
    fs::create_directory(fs::path(site.path()) / "firmware");
    {
        kp28test::FtpServer ftp(
            {.root = site.path(), .user = "root", .password = "qxvu", .writable = true});
        const std::string ip = "127.0.0.1:" + std::to_string(ftp.port());
        const LinksRun r = run({"load-fw", "fw.img", "-i", "LAN", "--model", "kp28", "--ip", ip});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.texts(), (std::vector<std::string>{kWaitReinit}));
        std::string got;
        ASSERT_TRUE(kp28test::read_file(site.path() + "/firmware/fw.img", got));
        EXPECT_EQ(got, std::string(image.begin(), image.end()));
        EXPECT_TRUE(ftp.wait_for_log("USER root"));
        EXPECT_TRUE(ftp.wait_for_log("TYPE I"));
    }
    {
        SCOPED_TRACE("refused login");
        kp28test::FtpServer ftp(
            {.root = site.path(), .user = "tech", .password = "pw", .writable = true});
        const std::string ip = "127.0.0.1:" + std::to_string(ftp.port());
        const LinksRun r = run({"load-fw", "fw.img", "-i", "LAN", "--model", "kp28", "--ip", ip});
        EXPECT_EQ(r.exit_code, 1);
        ASSERT_EQ(r.texts().size(), 1u);
        EXPECT_EQ(r.texts()[0].rfind("The firmware image could not be sent to " + ip + ": ", 0), 0u)
            << r.texts()[0];
        EXPECT_EQ(r.out["messages"][0]["title"], "LOADING FIRMWARE");
    }
    {
        SCOPED_TRACE("no address");
        const LinksRun r = run({"load-fw", "fw.img", "-i", "LAN", "--model", "kp28"});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_TRUE(r.texts().empty());
    }
}

}  // namespace
}  // namespace setuptest
