// Reboot, USB identifier and printer choice, end to end: the real updater
// against virtual printers, checked by its log, its console and the bytes the
// printer received.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

#include "updater_rig.h"

namespace fwtest {
namespace {

using kp28sim::Direction;
using kp28sim::LinkKind;
using Lines = std::vector<std::string>;

const Lines kRebootStart = {"Connecting to printer",
                            "Retrieving Firmware Version",
                            "Current Firmware Version : 1.00A",
                            "Enter REBOOT Mode",
                            "Sending reboot command to printer.",
                            "Waiting for the printer to reboot"};

Lines concat(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool contains(const std::vector<std::uint8_t>& hay, const std::vector<std::uint8_t>& needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

TEST(Reboot, PrinterThatComesBackWithItsVersionCompletes) {
    UpdaterRig rig;
    auto& printer = rig.add_printer();
    RunResult r = rig.run({"-protocol", "share", "-r", "-log", "log.txt", "-v"});
    EXPECT_EQ(r.child.exit_code, 0) << r.child.out;
    const Lines expected =
        concat(kRebootStart, {"Current Firmware Version : 1.00A", "The printer is up and running",
                              "Reboot successfully completed."});
    EXPECT_EQ(r.log, expected);
    EXPECT_EQ(r.console, expected);  // verbose: the same lines on the console
    EXPECT_EQ(printer.restarts(), 1);
    // Version query, enter DLL mode, reboot with the token, then the version
    // query on the reconnected channel and the (unanswered) leave command.
    const auto in = printer.bytes(LinkKind::Usb, Direction::ToPrinter);
    const std::vector<std::uint8_t> head = {
        0x14, 0x14, 0x1B, 0x14, 0x01, 0x00, 0x02,  // version query
        0x14, 0x14, 0x1B, 0x14, 0x02, 0x00, 0x1C, 0x00};
    ASSERT_GE(in.size(), head.size() + 9);
    EXPECT_EQ(std::vector<std::uint8_t>(in.begin(), in.begin() + static_cast<long>(head.size())),
              head);
    const auto out = printer.bytes(LinkKind::Usb, Direction::FromPrinter);
    ASSERT_GE(out.size(), 16u);
    const std::uint8_t token =
        out[15];  // the enter DLL acknowledgement follows the 10-byte version reply
    EXPECT_TRUE(contains(in, {0x14, 0x14, 0x1B, 0x14, 0x03, 0x00, 0x1C, token, 0x04}));
    EXPECT_TRUE(contains(in, {0x14, 0x14, 0x1B, 0x14, 0x02, 0x00, 0x1C, token}));
}

TEST(Reboot, QuietRunWritesNothingToTheConsole) {
    UpdaterRig rig;
    rig.add_printer();
    RunResult r = rig.run({"-protocol", "share", "-r", "-log", "log.txt"});
    EXPECT_EQ(r.child.exit_code, 0);
    EXPECT_EQ(r.child.out, "");
    EXPECT_EQ(r.log.size(), 9u);
}

struct RebootFailure {
    const char* name;
    kp28sim::Faults faults;
    Lines tail;  // log lines after "Connecting to printer"
};
// Test names show the case name, not the bytes of the case.
void PrintTo(const RebootFailure& c, std::ostream* os) {
    *os << c.name;
}

class RebootFailures : public ::testing::TestWithParam<RebootFailure> {};

TEST_P(RebootFailures, AnnounceTheirReasonAndEndWithOne) {
    UpdaterRig rig;
    auto cfg = UpdaterRig::usb_printer();
    cfg.faults = GetParam().faults;
    rig.add_printer(cfg);
    rig.env["KP28FW_REBOOT_LIMIT_MS"] = "1500";
    RunResult r = rig.run({"-protocol", "share", "-r", "-log", "log.txt"});
    EXPECT_EQ(r.child.exit_code, 1);
    EXPECT_EQ(r.log, concat({"Connecting to printer"}, GetParam().tail));
    // The closing line never claims "No Error" for a failed reboot.
    EXPECT_EQ(r.console, Lines{"Reboot Failure"});
}

kp28sim::Faults silent() {
    kp28sim::Faults f;
    f.silent = true;
    return f;
}
kp28sim::Faults zero_token() {
    kp28sim::Faults f;
    f.zero_token = true;
    return f;
}
kp28sim::Faults never_back() {
    kp28sim::Faults f;
    f.never_comes_back = true;
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Printer, RebootFailures,
    ::testing::Values(
        RebootFailure{"SilentPrinterGivesNoVersion",
                      silent(),
                      {"Retrieving Firmware Version",
                       "The printer is unable to return the current firmware version"}},
        RebootFailure{"ZeroTokenRefusesRebootMode",
                      zero_token(),
                      {"Retrieving Firmware Version", "Current Firmware Version : 1.00A",
                       "Enter REBOOT Mode", "The printer is unable to start the reboot process"}},
        RebootFailure{"PrinterThatNeverComesBack",
                      never_back(),
                      {"Retrieving Firmware Version", "Current Firmware Version : 1.00A",
                       "Enter REBOOT Mode", "Sending reboot command to printer.",
                       "Waiting for the printer to reboot", "Waiting for reboot failure"}}),
    [](const auto& p) { return std::string(p.param.name); });

// Printer 0 restarts and stays away; printer 1 carries another version, so
// the wait for the reboot finds printer 1 and the versions differ.
TEST(Reboot, DifferentVersionAfterTheRestartIsAFailure) {
    UpdaterRig rig;
    auto cfg0 = UpdaterRig::usb_printer(0);
    cfg0.faults.never_comes_back = true;
    rig.add_printer(cfg0);
    auto cfg1 = UpdaterRig::usb_printer(1);
    cfg1.firmware_version = "2.00B";
    rig.add_printer(cfg1);
    RunResult r = rig.run({"-protocol", "share", "-r", "-log", "log.txt"});
    EXPECT_EQ(r.child.exit_code, 1);
    EXPECT_EQ(r.log, concat(kRebootStart,
                            {"Current Firmware Version : 2.00B", "The printer failed to reboot."}));
    EXPECT_EQ(r.console, Lines{"Reboot Failure"});
}

// The wait reconnects every period: with a 500 ms period a printer that is
// back after 1200 ms is found by the third attempt. The library's own log
// counts the attempts: one printer list for the first connect, one per attempt.
TEST(RebootWait, PrinterBackAfterTwoAndAHalfPeriodsIsFoundOnTheThirdAttempt) {
    UpdaterRig rig;
    auto cfg = UpdaterRig::usb_printer();
    cfg.faults.comeback_after = std::chrono::milliseconds(1200);
    rig.add_printer(cfg);
    rig.env["KP28FW_REBOOT_PERIOD_MS"] = "500";
    rig.env["KP28FW_REBOOT_LIMIT_MS"] = "18000";
    rig.env["WLOGERR"] = "on";
    rig.env["WLOGMODE"] = "LOG_FILE";
    rig.env["WLOGFILE"] = rig.path("wrap.log");
    RunResult r = rig.run({"-protocol", "share", "-r", "-log", "log.txt"});
    EXPECT_EQ(r.child.exit_code, 0);
    EXPECT_EQ(r.log.back(), "Reboot successfully completed.");
    const std::string wrap_log = read_file(rig.path("wrap.log"));
    std::size_t lists = 0;
    for (std::size_t at = wrap_log.find("Kp28wrap_list()"); at != std::string::npos;
         at = wrap_log.find("Kp28wrap_list()", at + 1))
        ++lists;
    EXPECT_EQ(lists, 4u) << wrap_log;
}

// The product's own timing: first attempt 5 s after the reboot command, a
// printer back after 12 s is found on the third, at about 15 s.
TEST(RebootWait, RealTimingFindsPrinterBackAfterTwelveSecondsAtFifteen) {
    UpdaterRig rig;
    auto cfg = UpdaterRig::usb_printer();
    cfg.faults.comeback_after = std::chrono::seconds(12);
    rig.add_printer(cfg);
    rig.env.erase("KP28FW_REBOOT_PERIOD_MS");
    rig.env.erase("KP28FW_REBOOT_LIMIT_MS");
    RunResult r =
        rig.run({"-protocol", "share", "-r", "-log", "log.txt"}, std::chrono::seconds(30));
    EXPECT_EQ(r.child.exit_code, 0);
    EXPECT_GT(r.child.seconds, 14.5);
    EXPECT_LT(r.child.seconds, 19.5);
    EXPECT_EQ(r.log.back(), "Reboot successfully completed.");
}

TEST(PrinterChoice, NoPrinterIsAConnectionFailureWithoutAnyConnectAttempt) {
    UpdaterRig rig;
    rig.env["WLOGERR"] = "on";
    rig.env["WLOGMODE"] = "LOG_FILE";
    rig.env["WLOGFILE"] = rig.path("wrap.log");
    RunResult r = rig.run({"-protocol", "share", "-r", "-log", "log.txt", "-v"});
    EXPECT_EQ(r.child.exit_code, 1);
    EXPECT_EQ(r.log, (Lines{"Connecting to printer", "Printer connection failure"}));
    EXPECT_EQ(r.console, r.log);
    const std::string wrap_log = read_file(rig.path("wrap.log"));
    EXPECT_NE(wrap_log.find("Kp28wrap_list()"), std::string::npos) << wrap_log;
    EXPECT_EQ(wrap_log.find("Kp28wrap_connect()"), std::string::npos) << wrap_log;
}

// Printer 0 is away (restarting) while printer 1 answers: an empty name goes
// on to index 1, a printer name tries index 0 only.
struct ChoiceCase {
    const char* name;
    std::vector<std::string> args;
    int exit_code;
    bool printer1_used;
};
// Test names show the case name, not the bytes of the case.
void PrintTo(const ChoiceCase& c, std::ostream* os) {
    *os << c.name;
}

class PrinterChoice : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(PrinterChoice, FirstPrinterAwayDecidesByName) {
    UpdaterRig rig;
    auto cfg0 = UpdaterRig::usb_printer(0);
    cfg0.faults.comeback_after = std::chrono::seconds(60);
    auto& p0 = rig.add_printer(cfg0);
    auto& p1 = rig.add_printer(UpdaterRig::usb_printer(1));
    p0.power_cycle();
    ASSERT_TRUE(p0.wait_until([&] { return p0.away(); }, std::chrono::seconds(5)));
    std::vector<std::string> args = {"-protocol", "share", "-r", "-log", "log.txt"};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    RunResult r = rig.run(args);
    EXPECT_EQ(r.child.exit_code, GetParam().exit_code);
    EXPECT_EQ(p1.restarts(), GetParam().printer1_used ? 1 : 0);
    if (!GetParam().printer1_used) {
        EXPECT_EQ(r.log, (Lines{"Connecting to printer", "Printer connection failure"}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    TwoPrinters, PrinterChoice,
    ::testing::Values(ChoiceCase{"EmptyNameTriesTheNextIndex", {}, 0, true},
                      ChoiceCase{"NameTriesIndexZeroOnly", {"-printer", "LPT1"}, 1, false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(PrinterChoice, BothPresentUsesTheFirst) {
    UpdaterRig rig;
    auto& p0 = rig.add_printer(UpdaterRig::usb_printer(0));
    auto& p1 = rig.add_printer(UpdaterRig::usb_printer(1));
    RunResult r = rig.run({"-protocol", "share", "-r", "-printer", "USB001"});
    EXPECT_EQ(r.child.exit_code, 0);
    EXPECT_EQ(p0.restarts(), 1);
    EXPECT_EQ(p1.restarts(), 0);
}

// ---- USB identifier ----

const Lines kUsbIdStart = {"Connecting to printer", "Retrieving Product Name"};

struct UsbIdCase {
    const char* name;
    std::string product_name;  // empty: the printer's default
    bool feature = true;
    std::string wanted;
    int exit_code;
    Lines tail;            // log lines after the product name line
    std::string final_id;  // the printer's identifier afterwards
    std::string console;   // closing line, "" for none
};
// Test names show the case name, not the bytes of the case.
void PrintTo(const UsbIdCase& c, std::ostream* os) {
    *os << c.name;
}

class UsbId : public ::testing::TestWithParam<UsbIdCase> {};

const std::string kSimId = "KP28SIM-USBID-000000000000000001";

TEST_P(UsbId, RecordsOrRefusesAsTheNameAndIdentifierSay) {
    const UsbIdCase& c = GetParam();
    UpdaterRig rig;
    auto cfg = UpdaterRig::usb_printer();
    cfg.usb_id_feature = c.feature;
    cfg.product_name = c.product_name;
    auto& printer = rig.add_printer(cfg);
    RunResult r = rig.run({"-protocol", "SHARE", "-uid", c.wanted, "-log", "log.txt"});
    EXPECT_EQ(r.child.exit_code, c.exit_code);
    Lines expected = kUsbIdStart;
    expected.push_back("Current Product Name: " + printer.product_name());
    expected.insert(expected.end(), c.tail.begin(), c.tail.end());
    EXPECT_EQ(r.log, expected);
    EXPECT_EQ(printer.usb_id(), c.final_id);
    EXPECT_EQ(r.console, c.console.empty() ? Lines{} : Lines{c.console});
}

INSTANTIATE_TEST_SUITE_P(
    Printer, UsbId,
    ::testing::Values(
        UsbIdCase{"EqualIdentifierIsNotWritten",
                  "",
                  true,
                  kSimId,
                  0,
                  {"Enter USB ID. update Mode", "Retrieving usd id.", "Current USB ID : " + kSimId,
                   "The printer USB ID equals the DefaultUsbId "},
                  kSimId,
                  ""},
        UsbIdCase{"NewIdentifierWithPercentSignsIsWrittenAndLoggedAsItStands",
                  "KP28plus SIM",
                  true,
                  "ID%s%n%d-0042",
                  0,
                  {"Enter USB ID. update Mode", "Retrieving usd id.", "Current USB ID : " + kSimId,
                   "Sending usb id.command to printer", "Retrieving usd id.",
                   "Current USB ID : ID%s%n%d-0042", "Printer USB ID updated"},
                  "ID%s%n%d-0042",
                  ""},
        UsbIdCase{"VorkaNameWithUAtSixteenPasses",
                  "VORKA-KP28-2024-U",
                  true,
                  "NEW",
                  0,
                  {"The printer supports USB ID. feature", "Enter USB ID. update Mode",
                   "Retrieving usd id.", "Current USB ID : " + kSimId,
                   "Sending usb id.command to printer", "Retrieving usd id.",
                   "Current USB ID : NEW", "Printer USB ID updated"},
                  "NEW",
                  ""},
        UsbIdCase{"NameWithoutUAtTenIsRefusedBeforeAnyMode",
                  "KP28 PRINTER X",
                  true,
                  "NEW",
                  1,
                  {"The printer doesn't support USB ID. feature"},
                  kSimId,
                  "USB ID Failure"},
        UsbIdCase{"LowerCaseUDoesNotCount",
                  "KP28-SIM-Au",
                  true,
                  "NEW",
                  1,
                  {"The printer doesn't support USB ID. feature"},
                  kSimId,
                  "USB ID Failure"},
        UsbIdCase{"IdentifierOverThirtyTwoCharactersIsRefusedBeforeAnyMode",
                  "",
                  true,
                  std::string(33, 'X'),
                  1,
                  {"The USB ID is longer than 32 characters: " + std::string(33, 'X')},
                  kSimId,
                  "USB ID Failure"}),
    [](const auto& p) { return std::string(p.param.name); });

struct UsbIdFault {
    const char* name;
    kp28sim::Faults faults;
    Lines tail;  // log lines after the product name
};
// Test names show the case name, not the bytes of the case.
void PrintTo(const UsbIdFault& c, std::ostream* os) {
    *os << c.name;
}

class UsbIdFaults : public ::testing::TestWithParam<UsbIdFault> {};

TEST_P(UsbIdFaults, EndTheOperationWithTheirMessage) {
    UpdaterRig rig;
    auto cfg = UpdaterRig::usb_printer();
    cfg.faults = GetParam().faults;
    auto& printer = rig.add_printer(cfg);
    RunResult r = rig.run({"-protocol", "share", "-uid", "NEWID", "-log", "log.txt"});
    EXPECT_EQ(r.child.exit_code, 1);
    Lines expected = kUsbIdStart;
    expected.push_back("Current Product Name: " + printer.product_name());
    expected.insert(expected.end(), GetParam().tail.begin(), GetParam().tail.end());
    EXPECT_EQ(r.log, expected);
    EXPECT_EQ(r.console, Lines{"USB ID Failure"});
    EXPECT_EQ(printer.usb_id(), kSimId);
}

kp28sim::Faults ack_byte_05() {
    kp28sim::Faults f;
    f.ack_byte = 0x05;
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Printer, UsbIdFaults,
    ::testing::Values(UsbIdFault{"ZeroTokenRefusesTheMode",
                                 zero_token(),
                                 {"Enter USB ID. update Mode",
                                  "The printer is unable to start the usb id. update process"}},
                      UsbIdFault{"ReplyWithAnotherTokenIsNoIdentifier",
                                 ack_byte_05(),
                                 {"Enter USB ID. update Mode", "Retrieving usd id.",
                                  "The printer is unable to return the current usb id."}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(UsbIdWrite, PrinterThatStopsAfterTheWriteFrameFails) {
    UpdaterRig rig;
    // Measure the dialogue up to the write frame on a printer that behaves.
    auto& probe = rig.add_printer(UpdaterRig::usb_printer(0));
    RunResult ok = rig.run({"-protocol", "share", "-uid", "NEWID"});
    ASSERT_EQ(ok.child.exit_code, 0);
    std::size_t before_write_ack = 0;
    for (const auto& e : probe.transcript()) {
        if (e.direction == Direction::ToPrinter && e.bytes.size() >= 9 && e.bytes[6] == 0x1D &&
            e.bytes[8] == 0x01) {
            before_write_ack += e.bytes.size();
            break;
        }
        before_write_ack += e.bytes.size();
    }
    probe.stop();

    UpdaterRig rig2;
    auto cfg = UpdaterRig::usb_printer(0);
    cfg.faults.cut_after_bytes = before_write_ack;
    auto& printer = rig2.add_printer(cfg);
    RunResult r = rig2.run({"-protocol", "share", "-uid", "NEWID", "-log", "log.txt"});
    EXPECT_EQ(r.child.exit_code, 1);
    ASSERT_GE(r.log.size(), 3u);
    EXPECT_EQ(Lines(r.log.end() - 3, r.log.end()),
              (Lines{"Current USB ID : " + kSimId, "Sending usb id.command to printer",
                     "The printer is unable to load the usb id."}));
    EXPECT_EQ(r.console, Lines{"USB ID Failure"});
    // The write frame went out whole: length 3, identifier and a zero after it.
    const std::vector<std::uint8_t> frame = {0x14, 0x14, 0x1B, 0x14, 0x03, 0x00, 0x1D};
    const auto in = printer.bytes(LinkKind::Usb, Direction::ToPrinter);
    auto at = std::search(in.begin(), in.end(), frame.begin(), frame.end());
    for (; at != in.end(); at = std::search(at + 1, in.end(), frame.begin(), frame.end())) {
        if (in.end() - at >= 9 && at[8] == 0x01) break;
    }
    ASSERT_NE(at, in.end());
    EXPECT_EQ(std::string(at + 9, at + 9 + 6), std::string("NEWID\0", 6));
}

}  // namespace
}  // namespace fwtest
