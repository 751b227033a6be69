// The command line and INI file as the running program sees them: usage,
// exit codes, which requests are carried out, and the closing result lines.
#include <gtest/gtest.h>

#include <ostream>

#include "updater_rig.h"

namespace fwtest {
namespace {

using Lines = std::vector<std::string>;

const std::string kUsage =
    "Kp28FWUpdate [-help] [-r] [-protocol <ftp|http|share> -url <URL>] [-port <port>] [-user "
    "<user>] "
    "[-password <password>] [-printer <printer name>] [-log logfile] [-uid <usb id>]";

struct CliCase {
    const char* name;
    std::string ini;  // KP28FWUpdate.ini (as "kp28fwupdate.ini" when lower_name)
    bool lower_name = false;
    std::vector<std::string> args;
    int exit_code;
    Lines console;        // exact standard output lines
    int restarts;         // reboots the printer went through
    bool printer_spoken;  // any byte reached the printer
};
// Test names show the case name, not the bytes of the case.
void PrintTo(const CliCase& c, std::ostream* os) {
    *os << c.name;
}

class CommandLine : public ::testing::TestWithParam<CliCase> {};

TEST_P(CommandLine, RunsWhatItIsAskedAndNothingElse) {
    const CliCase& c = GetParam();
    UpdaterRig rig;
    auto& printer = rig.add_printer();
    if (!c.ini.empty())
        rig.write_file(c.lower_name ? "kp28fwupdate.ini" : "KP28FWUpdate.ini", c.ini);
    RunResult r = rig.run(c.args);
    EXPECT_EQ(r.child.exit_code, c.exit_code) << r.child.out << r.child.err;
    EXPECT_EQ(r.console, c.console);
    EXPECT_EQ(r.child.err, "");
    EXPECT_EQ(printer.restarts(), c.restarts);
    EXPECT_EQ(!printer.transcript().empty(), c.printer_spoken);
}

const Lines kRebootVerbose = {"Connecting to printer",
                              "Retrieving Firmware Version",
                              "Current Firmware Version : 1.00A",
                              "Enter REBOOT Mode",
                              "Sending reboot command to printer.",
                              "Waiting for the printer to reboot",
                              "Current Firmware Version : 1.00A",
                              "The printer is up and running",
                              "Reboot successfully completed."};

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLine,
    ::testing::Values(
        CliCase{
            "HelpBeforeRebootPrintsUsageOnly", "", false, {"-help", "-r"}, 0, {kUsage}, 0, false},
        CliCase{"NoArgumentsAndNoIniIsAUsageError", "", false, {}, 1, {kUsage}, 0, false},
        CliCase{"RebootWithoutProtocolIsAUsageError", "", false, {"-r"}, 1, {kUsage}, 0, false},
        CliCase{"UnknownProtocolIsAUsageError",
                "",
                false,
                {"-protocol", "smb", "-r"},
                1,
                {kUsage},
                0,
                false},
        CliCase{"ProtocolWithNothingToDoIsAUsageError",
                "",
                false,
                {"-protocol", "ftp"},
                1,
                {kUsage},
                0,
                false},
        CliCase{"SlashUrlIsSkippedLeavingNothingToDo",
                "",
                false,
                {"-protocol", "share", "/URL", "/srv/fw.img"},
                1,
                {kUsage},
                0,
                false},
        CliCase{"RebootWithProtocolFromIniInAnyCase",
                "[FIRMWARE_DOWNLOAD]\nDefaultProtocol=share\n",
                false,
                {"-r"},
                0,
                {},
                1,
                true},
        CliCase{"IniFoundUnderItsLowerCaseName",
                "[general]\r\nreboot=Y\r\nverbose= Y "
                "\r\n[firmware_download]\r\ndefaultprotocol=Share\r\n",
                true,
                {},
                0,
                kRebootVerbose,
                1,
                true},
        CliCase{"LowerCaseVerboseYStaysQuiet",
                "[GENERAL]\nVerbose=y\n",
                false,
                {"-protocol", "Share", "-r"},
                0,
                {},
                1,
                true},
        CliCase{"LowerCaseOptionTurnsVerboseOn",
                "",
                false,
                {"-protocol", "Share", "-r", "-v"},
                0,
                kRebootVerbose,
                1,
                true},
        CliCase{"MissingShareFileIsAConnectFailure",
                "",
                false,
                {"-protocol", "share", "-url", "/nonexistent/fw.img"},
                1,
                {"Connect Failure"},
                0,
                false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(RunKinds, RebootWinsOverUrlAndUsbId) {
    UpdaterRig rig;
    auto& printer = rig.add_printer();
    rig.write_file("fw.img", std::string("\x7F"
                                         "ELF",
                                         4) +
                                 std::string(1000, 'x'));
    RunResult r =
        rig.run({"-protocol", "share", "-r", "-url", "fw.img", "-uid", "NEWID", "-log", "log.txt"});
    EXPECT_EQ(r.child.exit_code, 0);
    EXPECT_EQ(r.log, kRebootVerbose);
    EXPECT_EQ(printer.restarts(), 1);
    EXPECT_EQ(printer.last_image().size, 0u);
    EXPECT_EQ(printer.usb_id(), "KP28SIM-USBID-000000000000000001");
}

TEST(LogOption, LastArgumentLeavesNoLog) {
    UpdaterRig rig;
    rig.add_printer();
    rig.write_file("KP28FWUpdate.ini", "[GENERAL]\nLogFile=log.txt\n");
    RunResult r = rig.run({"-protocol", "share", "-r", "-log"});
    EXPECT_EQ(r.child.exit_code, 0);
    EXPECT_TRUE(r.log.empty());
    EXPECT_TRUE(rig.files_starting_with("log").empty());
}

TEST(LogOption, IniLogFileReceivesTheRun) {
    UpdaterRig rig;
    rig.add_printer();
    rig.write_file("KP28FWUpdate.ini",
                   "[GENERAL]\nLogFile=log.txt\n[FIRMWARE_DOWNLOAD]\nDefaultProtocol=SHARE\n");
    RunResult r = rig.run({"-r"});
    EXPECT_EQ(r.child.exit_code, 0);
    EXPECT_EQ(r.log, kRebootVerbose);
}

}  // namespace
}  // namespace fwtest
