// The settings a run ends up with: INI file first, command line on top.
#include "settings.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "announcer.h"
#include "updater.h"

namespace fwupdate {
namespace {

struct TempDir {
    TempDir() {
        char tmpl[] = "/tmp/fwsettingsXXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    void write(const std::string& name, const std::string& text) const {
        std::ofstream(path + "/" + name, std::ios::binary) << text;
    }
    std::string path;
};

struct Case {
    const char* name;
    std::string ini;  // written as KP28FWUpdate.ini when non-empty
    std::vector<std::string> args;
    // Expected fields; the rest must keep their defaults.
    UpdaterSettings expected;
    CommandLineResult result = CommandLineResult::run;
};
// Test names show the case name, not the bytes of the case.
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

UpdaterSettings with(std::function<void(UpdaterSettings&)> f) {
    UpdaterSettings s;
    f(s);
    return s;
}

const std::string kFullIni =
    "[GENERAL]\r\nPrinter = LPT1\r\nBufferSize = 4096\r\nLogFile = c:\\tmp.out\r\nVerbose = "
    "Y\r\nReboot = N\r\n"
    "[FIRMWARE_DOWNLOAD]\r\nDefaultProtocol=share\r\nDefaultURL= /srv/fw.img "
    "\r\nDefaultPort=2121\r\n"
    "DefaultUser=tech\r\nDefaultPassword=p w\r\n[USB_IDENTIFIRE]\r\nDefaultUsbId=ID-0001\r\n";

std::vector<Case> cases() {
    return {
        {"NoIniNoArgsKeepsDefaults", "", {}, UpdaterSettings{}},
        {"IniFillsEveryFieldWithTrimmedValues", kFullIni, {}, with([](UpdaterSettings& s) {
             s.printer_name = "LPT1";
             s.buffer_size = 4096;
             s.log_file = "c:\\tmp.out";
             s.verbose = true;
             s.protocol = "share";
             s.url = "/srv/fw.img";
             s.port = "2121";
             s.user = "tech";
             s.password = "p w";
             s.usb_id = "ID-0001";
         })},
        {"SectionsAndKeysIgnoreCaseWithLfLines",
         "[general]\nverbose=Y\nREBOOT=Y\n[Firmware_Download]\ndefaultprotocol=FTP\n",
         {},
         with([](UpdaterSettings& s) {
             s.verbose = true;
             s.reboot = true;
             s.protocol = "FTP";
         })},
        {"LowerCaseYLeavesFlagsOff", "[GENERAL]\nVerbose=y\nReboot=Yes\n", {}, UpdaterSettings{}},
        {"UpperCaseYWithBlanksTurnsVerboseOn",
         "[GENERAL]\nVerbose =   Y   \n",
         {},
         with([](UpdaterSettings& s) { s.verbose = true; })},
        {"EmptyBufferSizeKeeps8192", "[GENERAL]\nBufferSize=\n", {}, UpdaterSettings{}},
        {"BufferSizeZeroKeepsDefault", "[GENERAL]\nBufferSize=0\n", {}, UpdaterSettings{}},
        {"NegativeBufferSizeKeepsDefault", "[GENERAL]\nBufferSize=-100\n", {}, UpdaterSettings{}},
        {"TextBufferSizeKeepsDefault", "[GENERAL]\nBufferSize=abc\n", {}, UpdaterSettings{}},
        {"BufferSizeReadsLeadingDigits",
         "[GENERAL]\nBufferSize=512kB\n",
         {},
         with([](UpdaterSettings& s) { s.buffer_size = 512; })},
        {"KeyOutsideItsSectionIsNotRead",
         "[OTHER]\nVerbose=Y\nDefaultURL=x\n",
         {},
         UpdaterSettings{}},
        {"HelpEndsParsingAtOnce", "", {"-help", "-r"}, UpdaterSettings{}, CommandLineResult::help},
        {"SlashHelpInAnyCase",
         "",
         {"-r", "/Help"},
         with([](UpdaterSettings& s) { s.reboot = true; }),
         CommandLineResult::help},
        {"OptionWordsIgnoreCaseValuesKeepIt",
         "",
         {"-Protocol", "Ftp", "-url", "ftp://h/Fw.IMG", "-v"},
         with([](UpdaterSettings& s) {
             s.protocol = "Ftp";
             s.url = "ftp://h/Fw.IMG";
             s.verbose = true;
         })},
        {"SlashFormsOfValueOptions",
         "",
         {"/PROTOCOL", "http", "/PORT", "8080", "/USER", "u", "/PASSWORD", "pw", "/PRINTER", "LPT1",
          "/LOG", "l.txt", "/UID", "U1", "/V", "/R", "/DEBUG"},
         with([](UpdaterSettings& s) {
             s.protocol = "http";
             s.port = "8080";
             s.user = "u";
             s.password = "pw";
             s.printer_name = "LPT1";
             s.log_file = "l.txt";
             s.usb_id = "U1";
             s.verbose = true;
             s.reboot = true;
         })},
        {"SlashUrlIsNotAnOptionAndItsValueIsSkipped",
         "",
         {"/URL", "/srv/fw.img"},
         UpdaterSettings{}},
        {"ValueIsTakenEvenWhenItLooksLikeAnOption",
         "",
         {"-protocol", "-url", "x"},
         with([](UpdaterSettings& s) { s.protocol = "-url"; })},
        {"ValueOptionLastGivesEmptyText",
         "[GENERAL]\nLogFile=ini.log\n",
         {"-log"},
         UpdaterSettings{}},
        {"LaterOptionWins", "", {"-uid", "A", "-UID", "B"}, with([](UpdaterSettings& s) {
             s.usb_id = "B";
         })},
        {"OptionOverridesIni",
         kFullIni,
         {"-url", "/other.img", "-printer", ""},
         with([](UpdaterSettings& s) {
             s.buffer_size = 4096;
             s.log_file = "c:\\tmp.out";
             s.verbose = true;
             s.protocol = "share";
             s.url = "/other.img";
             s.port = "2121";
             s.user = "tech";
             s.password = "p w";
             s.usb_id = "ID-0001";
         })},
        {"FlagsFromIniCannotBeTurnedOff",
         "[GENERAL]\nVerbose=Y\nReboot=Y\n",
         {"-v"},
         with([](UpdaterSettings& s) {
             s.verbose = true;
             s.reboot = true;
         })},
        {"UnknownArgumentsAreSkipped",
         "",
         {"-x", "stray", "-buffersize", "4096", "-r"},
         with([](UpdaterSettings& s) { s.reboot = true; })},
    };
}

class SettingsCases : public ::testing::TestWithParam<Case> {};

TEST_P(SettingsCases, ProduceExpectedSettings) {
    const Case& c = GetParam();
    TempDir dir;
    if (!c.ini.empty()) dir.write(kIniFileName, c.ini);
    UpdaterSettings got;
    EXPECT_EQ(load_settings(dir.path, c.args, got), c.result);
    const UpdaterSettings& e = c.expected;
    EXPECT_EQ(got.printer_name, e.printer_name);
    EXPECT_EQ(got.buffer_size, e.buffer_size);
    EXPECT_EQ(got.log_file, e.log_file);
    EXPECT_EQ(got.verbose, e.verbose);
    EXPECT_EQ(got.reboot, e.reboot);
    EXPECT_EQ(got.protocol, e.protocol);
    EXPECT_EQ(got.url, e.url);
    EXPECT_EQ(got.port, e.port);
    EXPECT_EQ(got.user, e.user);
    EXPECT_EQ(got.password, e.password);
    EXPECT_EQ(got.usb_id, e.usb_id);
}

INSTANTIATE_TEST_SUITE_P(IniAndCommandLine, SettingsCases, ::testing::ValuesIn(cases()),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(IniFileName, FoundWhateverTheCaseOfItsName) {
    for (const char* name : {"KP28FWUpdate.ini", "kp28fwupdate.ini", "KP28FWUPDATE.INI"}) {
        TempDir dir;
        dir.write(name, "[GENERAL]\nPrinter=P\n");
        UpdaterSettings got;
        load_settings(dir.path, {}, got);
        EXPECT_EQ(got.printer_name, "P") << name;
    }
}

TEST(IniFileName, ExactSpellingWinsOverOtherCases) {
    TempDir dir;
    dir.write("kp28fwupdate.ini", "[GENERAL]\nPrinter=lower\n");
    dir.write("KP28FWUpdate.ini", "[GENERAL]\nPrinter=exact\n");
    UpdaterSettings got;
    load_settings(dir.path, {}, got);
    EXPECT_EQ(got.printer_name, "exact");
}

// "(PID=<thread>)Www Mmm dd hh:mm:ss.<ms> <message>"
TEST(LogLine, CarriesThreadTimeStampAndMessageAsItStands) {
    const std::vector<std::string> messages = {
        "Connecting to printer", "Current USB ID : 100%sure%n%d", "ftp://h/%2e%2e/fw.img", ""};
    for (const std::string& m : messages) {
        const std::string line = Announcer::log_line(m);
        const std::string tid = std::to_string(::gettid());
        ASSERT_EQ(line.rfind("(PID=" + tid + ")", 0), 0u) << line;
        const std::string rest = line.substr(6 + tid.size());
        // Weekday, month, day, time: the first 19 characters of ctime's text.
        ASSERT_GE(rest.size(), 22u);
        EXPECT_EQ(rest[3], ' ');
        EXPECT_EQ(rest[7], ' ');
        EXPECT_EQ(rest[13], ':');
        EXPECT_EQ(rest[16], ':');
        EXPECT_EQ(rest[19], '.');
        const std::size_t blank = rest.find(' ', 20);
        ASSERT_NE(blank, std::string::npos);
        const std::string ms = rest.substr(20, blank - 20);
        ASSERT_FALSE(ms.empty());
        EXPECT_TRUE(ms == "0" || ms[0] != '0') << "milliseconds without leading zeros: " << ms;
        EXPECT_LT(std::stoi(ms), 1000);
        EXPECT_EQ(rest.substr(blank + 1), m + "\n");
    }
}

TEST(LogFile, OneLinePerMessageAppendedAndUnwritableFileIgnored) {
    TempDir dir;
    const std::string path = dir.path + "/log.txt";
    dir.write("log.txt", "earlier\n");
    Announcer a(path, false);
    a.announce("first %s");
    a.log("second");
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "earlier");
    EXPECT_TRUE(lines[1].ends_with(" first %s"));
    EXPECT_TRUE(lines[2].ends_with(" second"));
    Announcer nowhere(dir.path + "/missing/dir/log.txt", false);
    nowhere.announce("dropped");  // must not throw or create anything
    EXPECT_FALSE(std::filesystem::exists(dir.path + "/missing"));
}

}  // namespace
}  // namespace fwupdate
