// Which buttons each situation enables and disables, and that it leaves the
// others alone; which buttons picking an interface sets; and the start-up and
// menu handlers that combine them.
#include <gtest/gtest.h>
#include <kp28setup/commands.h>
#include <kp28setup/interface_list.h>

#include <string>

#include "session_rig.h"

namespace setuptest {
namespace {

using kp28setup::CommandStates;
using kp28setup::Enablement;
namespace sit = kp28setup::situation;

constexpr Command kAll[] = {Command::ReadNvm,   Command::WriteNvm,  Command::RestoreMfg,
                            Command::SendSetup, Command::ExitSetup, Command::Reboot,
                            Command::LoadFw,    Command::UsbId,     Command::Refresh};

// One letter per button in kAll order: E enabled, D disabled, . unchanged.
std::string effect(const Enablement& e) {
    CommandStates on, off;
    for (Command c : kAll) on.set(c, true);
    on.apply(e);
    off.apply(e);
    std::string s;
    for (Command c : kAll) {
        if (on.enabled(c) && off.enabled(c))
            s += 'E';
        else if (!on.enabled(c) && !off.enabled(c))
            s += 'D';
        else
            s += '.';
    }
    return s;
}

struct SituationCase {
    const char* name;
    const Enablement* e;
    const char* expected;  // Read Write Restore Send Exit Reboot LoadFw UsbId Refresh
};

class Situations : public ::testing::TestWithParam<SituationCase> {};

TEST_P(Situations, SetOnlyTheButtonsTheyName) {
    EXPECT_EQ(effect(*GetParam().e), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Situations,
    ::testing::Values(SituationCase{"window_created", &sit::kWindowCreated, "EDEEEEEEE"},
                      SituationCase{"list_empty", &sit::kInterfaceListEmpty, "DDDD.DDD."},
                      SituationCase{"plus_setup", &sit::kPlusInSetupMode, "EEEDEDDD."},
                      SituationCase{"kp28_setup", &sit::kKp28InSetupMode, ".E..D...."},
                      SituationCase{"normal_mode", &sit::kNormalMode, "DDDEDEEE."},
                      SituationCase{"read_failed", &sit::kReadFailed, ".D......."},
                      SituationCase{"read_good", &sit::kReadSucceeded, ".E......."},
                      SituationCase{"menu_plus", &sit::kMenuKp28Plus, "....EE.E."},
                      SituationCase{"menu_kp28", &sit::kMenuKp28, "....DE.E."},
                      SituationCase{"cdc_found", &sit::kCdcPortFound, "EDEDEDDD."},
                      SituationCase{"com_after_refresh", &sit::kComSelectedAfterRefresh,
                                    "E.EDE...E"}),
    [](const auto& tc) { return std::string(tc.param.name); });

// port_click_changes in the letter form, button order of the selection table:
// Read Write Restore LoadFw Reboot UsbId Exit Send Refresh; T, F or blank.
std::string selection(bool check1, const std::string& entry, bool plus) {
    const auto ch = kp28setup::port_click_changes(check1, entry, plus);
    const Command order[] = {Command::ReadNvm,   Command::WriteNvm,  Command::RestoreMfg,
                             Command::LoadFw,    Command::Reboot,    Command::UsbId,
                             Command::ExitSetup, Command::SendSetup, Command::Refresh};
    std::string s;
    for (Command c : order) {
        const auto& v = ch[static_cast<std::size_t>(c)];
        s += !v ? ' ' : (*v ? 'T' : 'F');
    }
    return s;
}

struct SelectionCase {
    const char* name;
    bool check1;
    const char* entry;
    bool plus;
    const char* expected;
};

class Selection : public ::testing::TestWithParam<SelectionCase> {};

TEST_P(Selection, SetsTheButtonsOfItsCase) {
    const auto& c = GetParam();
    EXPECT_EQ(selection(c.check1, c.entry, c.plus), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Selection,
    ::testing::Values(SelectionCase{"A_cdc_entry", true, "USB (CdC)", true, "TFTTFFT  "},
                      SelectionCase{"A1_com", true, "COM1", false, "TFTFFFT  "},
                      SelectionCase{"A1_lan", true, "LAN", true, "TFTFFFT  "},
                      SelectionCase{"A_lpt1", true, "LPT1", true, "TFTTFFT  "},
                      SelectionCase{"B1_com_plus", false, "COM3", true, "TFTFFFFF "},
                      SelectionCase{"B2_lan_plus", false, "LAN", true, "FFFTFFFT "},
                      SelectionCase{"B2_lpt1_plus", false, "LPT1", true, "FFFTFFFT "},
                      SelectionCase{"B3_com_kp28", false, "COM3", false, "TFTFFFTFF"},
                      SelectionCase{"B4_lan_kp28", false, "LAN", false, "FFFTFFFT "},
                      SelectionCase{"B4_lpt1_kp28", false, "LPT1", false, "FFFTFFFT "},
                      SelectionCase{"B_usb_plus", false, "USB", true, "FFFTTTFT "},
                      SelectionCase{"B_usb_kp28", false, "USB", false, "FFFTTTFT "},
                      SelectionCase{"B_lpt2_plus", false, "LPT2", true, "FFFTTTFT "},
                      SelectionCase{"B_lpt1_is_compared_whole", false, "LPT10", true, "FFFTTTFT "},
                      SelectionCase{"B_case_sensitive", false, "com1", true, "FFFTTTFT "}),
    [](const auto& tc) { return std::string(tc.param.name); });

// Whether any order of picks, menu choices and outcomes ever enables each
// button in kAll order (T/F) with the entry selected.
TEST(EverEnabled, FollowsTheTablesThroughEveryOutcome) {
    const struct {
        bool check1;
        const char* entry;
        const char* expected;
    } cases[] = {
        // A read may find normal mode (send, maintenance) or setup mode (write, exit).
        {false, "COM1", "TTTTTTTTT"},
        {false, "LPT2", "FFFTFTTTT"},
        {false, "USB", "FFFTFTTTT"},
        {false, "LPT1", "FFFTFFTFT"},
        {false, "LAN", "FFFTFFTFT"},
        {true, "USB (CdC)", "TTTTTTTTT"},
        // With a USB CDC port in the list every pick enables "Read NVM".
        {true, "LPT2", "TTTTTTTTT"},
    };
    for (const auto& c : cases) {
        const auto ever = kp28setup::ever_enabled(c.entry, c.check1);
        std::string s;
        for (Command cmd : kAll) s += ever[static_cast<std::size_t>(cmd)] ? 'T' : 'F';
        EXPECT_EQ(s, c.expected) << c.entry << " check1=" << c.check1;
    }
}

std::string states(const kp28setup::Session& s) {
    std::string out;
    for (Command c : kAll) out += s.commands().enabled(c) ? 'E' : 'D';
    return out;
}

TEST(FormLoad, ShowsKp28PlusAndSelectsTheFirstComPort) {
    SessionRig rig;
    auto& s = rig.start();
    EXPECT_TRUE(s.plus_displayed());
    EXPECT_TRUE(s.kp28plus_checked());
    EXPECT_FALSE(s.kp28_checked());
    EXPECT_EQ(s.interfaces().port, (std::vector<std::string>{"COM1", "USB", "LAN"}));
    EXPECT_EQ(s.interfaces().list1, (std::vector<std::string>{"COM1"}));
    EXPECT_EQ(s.interfaces().selected_text(), "COM1");
    // Window created, then B and B1 for COM1, then the refresh's own step.
    EXPECT_EQ(states(s), "EDEDEDDDE");
    EXPECT_EQ(rig.port.settings(), "19200,n,8,1");
    EXPECT_FALSE(rig.port.is_open());  // nothing is opened before a command
}

TEST(FormLoad, CdcPortChecksKp28PlusAndDropsTheUsbEntry) {
    SessionRig rig;
    rig.ports = {{kp28setup::PortInfo::Kind::Serial, "COM1", "/dev/ttyS0", false},
                 {kp28setup::PortInfo::Kind::Serial, "COM65", "/dev/ttyACM0", true},
                 {kp28setup::PortInfo::Kind::Parallel, "LPT1", "/dev/lp0", false}};
    auto& s = rig.start();
    EXPECT_EQ(s.interfaces().port, (std::vector<std::string>{"COM1", "USB (CdC)", "LPT1", "LAN"}));
    EXPECT_EQ(s.interfaces().list1, (std::vector<std::string>{"COM1", "COM65", "LPT1"}));
    EXPECT_TRUE(s.interfaces().check1);
    // Case A then A1 for COM1; the refresh's step 6 does not apply with Check1 set.
    EXPECT_EQ(states(s), "EDEDEDDDE");
    s.select_interface(1);
    EXPECT_EQ(states(s), "EDEDEDEDE");
}

TEST(FormLoad, NoPortsLeavesUsbAndLan) {
    SessionRig rig;
    rig.ports.clear();
    auto& s = rig.start();
    EXPECT_EQ(s.interfaces().port, (std::vector<std::string>{"USB", "LAN"}));
    EXPECT_TRUE(s.interfaces().list1.empty());
    EXPECT_EQ(states(s), "DDDEDEEEE");
}

TEST(ModelMenu, Kp28DisablesExitAndPlusEnablesItAgain) {
    SessionRig rig;
    auto& s = rig.start();
    s.mnuSetProgramforKP28_Click();
    EXPECT_FALSE(s.plus_displayed());
    EXPECT_TRUE(s.kp28_checked());
    EXPECT_FALSE(s.kp28plus_checked());
    // Menu row, then B and B3 for COM1 (which enables Exit again and
    // disables the refresh).
    EXPECT_EQ(states(s), "EDEDEDDDD");
    s.select_interface(1);  // USB: B alone
    EXPECT_EQ(states(s), "DDDEDEEED");
    s.mnu_SetProgramforKP28Plus_Click();
    EXPECT_TRUE(s.plus_displayed());
    EXPECT_EQ(states(s), "DDDEDEEED");
    s.select_interface(0);
    EXPECT_EQ(states(s), "EDEDDDDDD");
}

TEST(ModelMenu, NotifiesTheModelDisplay) {
    SessionRig rig;
    auto& s = rig.start();
    const int before = rig.observer.changes[kp28setup::Change::ModelDisplay];
    s.mnuSetProgramforKP28_Click();
    EXPECT_GT(rig.observer.changes[kp28setup::Change::ModelDisplay], before);
}

}  // namespace
}  // namespace setuptest
