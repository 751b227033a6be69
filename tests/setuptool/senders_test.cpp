// The senders and the maintenance front-ends on the scripted port and a
// scripted USB library: how a file is cut into pieces (no filler), what a
// failed piece or connection shows, the serial sequence of a setup send, the
// text of the helper files, addresses with ports, and the USB ID length rule.
#include <gtest/gtest.h>
#include <kp28setup/maintenance.h>
#include <kp28setup/scripted_operator.h>
#include <kp28setup/senders.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>

#include "session_rig.h"

namespace setuptest {
namespace {

using kp28setup::HostPort;
using kp28setup::parse_host_port;

std::string temp_file(const std::string& name, std::size_t size) {
    const auto p = std::filesystem::temp_directory_path() /
                   ("kp28senders-" + std::to_string(::getpid()) + "-" + name);
    std::ofstream f(p, std::ios::binary);
    // One command frame of `size` bytes: the senders refuse anything else.
    const std::size_t length = size - 6;
    f << std::string("\x14\x14\x1B\x14", 4) << static_cast<char>(length & 0xFF)
      << static_cast<char>(length >> 8);
    for (std::size_t i = 6; i < size; ++i) f.put(static_cast<char>(i * 7 + 1));
    return p.string();
}

TEST(Pieces, EveryPieceFullButTheLastAndNoFiller) {
    const struct {
        std::size_t size;
        std::vector<std::size_t> pieces;
    } cases[] = {{0, {}},
                 {11, {11}},
                 {512, {512}},
                 {1000, {512, 488}},
                 {1024, {512, 512}},
                 {2059, {512, 512, 512, 512, 11}}};
    for (const auto& c : cases) {
        const std::vector<std::uint8_t> bytes(c.size, 0x5A);
        std::vector<std::size_t> got;
        std::size_t total = 0;
        for (const auto p : kp28setup::pieces(bytes)) {
            got.push_back(p.size());
            total += p.size();
        }
        EXPECT_EQ(got, c.pieces) << c.size;
        EXPECT_EQ(total, c.size);
    }
}

TEST(HostPorts, AnAddressWithoutAPortTakesTheDefault) {
    const struct {
        const char* text;
        std::optional<std::pair<std::string, std::uint16_t>> want;
    } cases[] = {
        {"127.0.0.1", {{"127.0.0.1", 9100}}},
        {"127.0.0.1:2121", {{"127.0.0.1", 2121}}},
        {"::1", {{"::1", 9100}}},
        {"[::1]:9200", {{"::1", 9200}}},
        {"[::1]", {{"::1", 9100}}},
        {"127.0.0.1:", std::nullopt},
        {"127.0.0.1:0", std::nullopt},
        {"127.0.0.1:65536", std::nullopt},
        {"127.0.0.1:12x", std::nullopt},
        {"[::1", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto got = parse_host_port(c.text, 9100);
        ASSERT_EQ(got.has_value(), c.want.has_value()) << c.text;
        if (got) {
            EXPECT_EQ(std::make_pair(got->host, got->port), *c.want) << c.text;
        }
    }
}

TEST(HelperFiles, IniAndScriptLinesEndWithCrLf) {
    EXPECT_EQ(kp28setup::updater_ini_text(),
              "[General]\r\nPrinter = LPT1\r\nVerbose = Y\r\nLogFile=\r\nBufferSize = 8192\r\n"
              "Reboot = n\r\n\r\n[FIRMWARE_DOWNLOAD]\r\nDefaultProtocol = share\r\nDefaultURL=\r\n"
              "DefaultPort=\r\nDefaultUser=\r\nDefaultPassword=\r\n\r\n[USB_IDENTIFIRE]\r\n"
              "DefaultUsbId=\r\n");
    EXPECT_EQ(kp28setup::ftp_script_text("/a b/fw.img"),
              "root\r\nqxvu\r\nbin\r\ncd firmware\r\nput /a b/fw.img\r\nbye\r\n");
}

TEST(HelperFiles, RunDirectoryIsPrivateAndGoesWithItsObject) {
    std::string path;
    {
        kp28setup::RunDirectory d;
        EXPECT_FALSE(d.made());
        path = d.path();
        std::string why;
        ASSERT_TRUE(kp28setup::write_text_file(d.file("tmp.out"), "a\r\nb\n", &why)) << why;
        EXPECT_EQ(kp28setup::read_lines(d.file("tmp.out")), (std::vector<std::string>{"a", "b"}));
        const auto perms = std::filesystem::status(path).permissions();
        EXPECT_EQ(perms & std::filesystem::perms::all, std::filesystem::perms::owner_all);
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

// A library that fails the pieces a test names, with its own last error.
struct ScriptedUsb : kp28setup::UsbLibrary {
    bool printer = true;
    std::set<std::size_t> failing_pieces;
    std::vector<std::size_t> writes;
    std::int32_t last = 0;
    bool available(std::string*) override { return true; }
    std::int32_t connect(std::int32_t index, std::uint32_t* door) override {
        EXPECT_EQ(index, 0);
        *door = printer ? 0x0D002000u : 0xBAD0BAD0u;
        return printer ? 0 : (last = 0x200);
    }
    std::int32_t write(std::uint32_t door, std::span<const std::uint8_t> b,
                       std::int32_t timeout) override {
        // Bounded by the whole file's limit, never "no limit".
        EXPECT_GT(timeout, 0);
        EXPECT_LE(timeout, 60000);
        writes.push_back(b.size());
        if (door != 0x0D002000u) return last = 0x203;
        if (failing_pieces.count(writes.size() - 1)) return last = 0x206;
        return 0;
    }
    std::int32_t disconnect(std::uint32_t door) override {
        return door == 0x0D002000u ? 0 : (last = 0x203);
    }
    std::int32_t geterrno(std::string* m) override {
        static const std::map<int, std::string> texts = {{0x200, "invalid printer index"},
                                                         {0x203, "invalid DOOR value"},
                                                         {0x206, "error writing to device"}};
        *m = texts.count(last) ? texts.at(last) : "no error";
        return last;
    }
};

// A closing window must not wait a child out: it is asked to end, and made
// to when it ignores the request.
TEST(RunAndWait, AStopEndsTheChildAndOneThatIgnoresItIsKilled) {
    struct Case {
        const char* name;
        std::vector<std::string> argv;
        int signal;
        double at_most_s;
    };
    const std::vector<Case> cases = {
        {"ends on request", {"/bin/sleep", "30"}, SIGTERM, 3.0},
        {"ignores the request", {"/bin/sh", "-c", "trap '' TERM; exec sleep 30"}, SIGKILL, 8.0},
    };
    for (const auto& c : cases) {
        int rounds = 0;
        const auto start = std::chrono::steady_clock::now();
        const auto ran = kp28setup::run_and_wait(
            c.argv, "", [&] { ++rounds; }, std::chrono::milliseconds(20),
            [&] { return rounds >= 3; });
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        EXPECT_TRUE(ran.started) << c.name;
        EXPECT_FALSE(ran.exit_code.has_value()) << c.name;
        EXPECT_EQ(ran.reason, "ended by signal " + std::to_string(c.signal)) << c.name;
        EXPECT_LT(took.count(), c.at_most_s) << c.name;
    }
}

TEST(UsbSender, AFailedPieceIsReportedWhateverComesAfterIt) {
    const std::string file = temp_file("usb.dmp", 2059);
    const struct {
        const char* name;
        bool printer;
        std::set<std::size_t> failing;
        std::vector<std::string> boxes;
        bool complete;
    } cases[] = {
        {"all pieces taken", true, {}, {}, true},
        {"second of five fails", true, {1}, {"Error code :518 error writing to device"}, false},
        {"last fails", true, {4}, {"Error code :518 error writing to device"}, false},
        {"no printer",
         false,
         {},
         {"Error code :512 invalid printer index", "Error code :515 invalid DOOR value",
          "Error code :515 invalid DOOR value"},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SessionRig rig;
        rig.ports.push_back({kp28setup::PortInfo::Kind::Serial, "COM65", "/dev/ttyACM0", true});
        auto usb = std::make_shared<ScriptedUsb>();
        usb->printer = c.printer;
        usb->failing_pieces = c.failing;
        auto& s = rig.start();
        s.use_usb_library(usb);
        rig.op.open_answers = {file};
        s.select_interface(1);  // "USB (CdC)": through the library, not the port
        ASSERT_EQ(s.interfaces().selected_text(), "USB (CdC)");
        const std::size_t before = rig.port.writes().size();
        const auto sent = s.run(kp28setup::Command::SendSetup);
        EXPECT_EQ(usb->writes, (std::vector<std::size_t>{512, 512, 512, 512, 11}));
        EXPECT_EQ(rig.message_texts(), c.boxes);
        for (const auto& m : rig.op.messages()) {
            EXPECT_EQ(m.title, "Warning Message");
            EXPECT_EQ(m.icon, Icon::Information);
        }
        EXPECT_EQ(sent.done, c.complete);
        EXPECT_EQ(rig.port.writes().size(), before);
        // Five pieces, a pause after each and one more.
        EXPECT_EQ(std::count(rig.pauses.begin(), rig.pauses.end(), std::chrono::milliseconds(100)),
                  6);
        EXPECT_EQ(s.pointer(kp28setup::PointerTarget::Screen), kp28setup::Pointer::Default);
    }
    std::filesystem::remove(file);
}

TEST(SerialSender, PiecesAtNormalSpeedThenBackToSetupSpeed) {
    const std::string file = temp_file("com.dmp", 2059);
    for (const bool off : {false, true}) {
        SCOPED_TRACE(off ? "DSR and CTS off" : "line states unknown");
        SessionRig rig;
        auto& s = rig.start();
        if (off) rig.port.cts_state = rig.port.dsr_state = false;
        rig.op.open_answers = {file};
        const std::size_t before = rig.port.writes().size();
        const auto sent = s.run(kp28setup::Command::SendSetup);
        std::vector<std::string> got;
        for (std::size_t i = before; i < rig.port.writes().size(); ++i)
            got.push_back(rig.port.writes()[i].settings + " " +
                          std::to_string(rig.port.writes()[i].bytes.size()));
        EXPECT_EQ(got,
                  (std::vector<std::string>{"9600,n,8,1 512", "9600,n,8,1 512", "9600,n,8,1 512",
                                            "9600,n,8,1 512", "9600,n,8,1 11"}));
        EXPECT_EQ(rig.message_texts(),
                  off ? std::vector<std::string>{"COM1 NOT READY"} : std::vector<std::string>{});
        EXPECT_EQ(rig.port.settings(), "19200,n,8,1");
        EXPECT_TRUE(rig.port.is_open());
        EXPECT_GE(rig.port.drains(), 1) << "output drained before the port is closed";
        EXPECT_TRUE(sent.done) << sent.reason;
    }
    std::filesystem::remove(file);
}

TEST(SendSetup, CancelledDialogOrAddressSendsNothing) {
    const std::string file = temp_file("lan.dmp", 100);
    SessionRig rig;
    auto& s = rig.start();
    s.select_interface(static_cast<int>(s.interfaces().port.size()) - 1);
    ASSERT_EQ(s.interfaces().selected_text(), "LAN");
    rig.op.open_answers = {std::nullopt, file};
    rig.op.input_answers = {std::string()};
    EXPECT_EQ(s.run(kp28setup::Command::SendSetup).reason, "cancelled");
    const auto sent = s.run(kp28setup::Command::SendSetup);
    EXPECT_TRUE(rig.message_texts().empty());
    const auto& shown = rig.op.shown();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0].dialog.title, "SELECT SETUP FILE");
    EXPECT_EQ(shown[0].dialog.filter, "File *.dmp (*.dmp)|*.dmp");
    EXPECT_EQ(shown[2].message.title, "SEND SETUP TO PRINTER VIA ETHERNET INTERFACE");
    EXPECT_EQ(shown[2].message.text, "INSERT IP ADDRESS (XXX.XXX.XXX.XXX): ");
    EXPECT_EQ(s.chosen_file, file);
    EXPECT_FALSE(sent.done);
    EXPECT_EQ(s.pointer(kp28setup::PointerTarget::Screen), kp28setup::Pointer::Default);
    std::filesystem::remove(file);
}

TEST(UsbId, ThirtyThreeCharactersStartNothing) {
    SessionRig rig;
    auto& s = rig.start();
    s.use_updater("/nonexistent/updater-that-must-not-run");
    rig.op.input_answers = {std::string(33, 'A')};
    const auto recorded = s.run(kp28setup::Command::UsbId);
    EXPECT_EQ(s.printed(), (std::vector<std::string>{"ERRORE LUNGHEZZA"}));
    ASSERT_EQ(rig.op.messages().size(), 1u);
    EXPECT_EQ(rig.op.messages()[0].text, "LENGHT OF USB IB ERROR !!!");
    EXPECT_EQ(rig.op.messages()[0].title, "ATTENTION !!!");
    EXPECT_EQ(rig.op.messages()[0].icon, Icon::Critical);
    EXPECT_FALSE(s.report_window().shown);
    EXPECT_FALSE(recorded.done);
    EXPECT_EQ(recorded.reason, "LENGHT OF USB IB ERROR !!!");
    const auto& in = rig.op.shown().front();
    EXPECT_EQ(in.message.title, "USB ID RECORDING (MAX 32 CRT)");
    EXPECT_EQ(in.message.text, "INSERT SERIAL USB ID: ");
}

TEST(LoadFw, Kp28PlusOnASerialEntryIsNotAvailable) {
    const std::string file = temp_file("fw.img", 100);
    SessionRig rig;
    auto& s = rig.start();
    rig.op.open_answers = {file};
    s.cmdLoadFW_Click();
    ASSERT_EQ(rig.op.messages().size(), 1u);
    EXPECT_EQ(rig.op.messages()[0].text, "NOT AVAIABLE ON THIS VERSION");
    EXPECT_EQ(rig.op.messages()[0].title, "LOADING FIRMWARE");
    EXPECT_EQ(rig.op.messages()[0].icon, Icon::Information);
    EXPECT_TRUE(s.window_enabled());
    EXPECT_EQ(s.pointer(kp28setup::PointerTarget::Screen), kp28setup::Pointer::Default);
    EXPECT_EQ(rig.op.shown().front().dialog.title, "SELECT FIRMWARE IMAGE");
    EXPECT_EQ(rig.op.shown().front().dialog.filter, "File *.img (*.img)|*.img");
    std::filesystem::remove(file);
}

TEST(LoadFw, CdcPushGoesAtItsSpeedInPiecesAndIsDrainedBeforeTheClose) {
    const std::string file = temp_file("cdc.img", 1300);
    SessionRig rig;
    rig.ports = {{kp28setup::PortInfo::Kind::Serial, "COM65", "/dev/ttyACM0", true}};
    rig.port.existing_ports = {65};
    auto& s = rig.start();
    ASSERT_EQ(s.interfaces().selected_text(), "USB (CdC)");
    rig.op.open_answers = {file};
    const std::size_t before = rig.port.writes().size();
    const auto pushed = s.run(kp28setup::Command::LoadFw);
    std::vector<std::string> got;
    for (std::size_t i = before; i < rig.port.writes().size(); ++i)
        got.push_back(rig.port.writes()[i].settings + " " +
                      std::to_string(rig.port.writes()[i].bytes.size()));
    EXPECT_EQ(got, (std::vector<std::string>{"115200,n,8,1 512", "115200,n,8,1 512",
                                             "115200,n,8,1 276"}));
    EXPECT_GE(rig.port.drains(), 1);
    EXPECT_FALSE(rig.port.is_open());
    EXPECT_TRUE(pushed.done) << pushed.reason;
    EXPECT_EQ(s.Interface, "COM65");
    EXPECT_EQ(rig.message_texts(),
              (std::vector<std::string>{"OPEN COVER, PRESS KEY S1 and TURN ON THE PRINTER"}));
    // The wait window was shown for the push and hidden after it.
    std::vector<bool> waits;
    for (const auto& w : rig.op.shown())
        if (w.kind == kp28setup::ScriptedOperator::Shown::WaitWindow) waits.push_back(w.wait_shown);
    EXPECT_EQ(waits, (std::vector<bool>{true, false}));
    EXPECT_FALSE(s.wait_window_shown());
    EXPECT_TRUE(s.window_enabled());

    // Cancel at the prompt sends nothing and gives the window back.
    const std::size_t writes = rig.port.writes().size();
    rig.op.prompt_answers = {false};
    rig.op.open_answers = {file};
    EXPECT_FALSE(s.run(kp28setup::Command::LoadFw).done);
    EXPECT_EQ(rig.port.writes().size(), writes);
    EXPECT_TRUE(s.window_enabled());
    std::filesystem::remove(file);
}

}  // namespace
}  // namespace setuptest
