// The operations of the session against a scripted printer: what goes out in
// which order and at which speed, what the operator is shown, and what the
// window shows afterwards.
#include <gtest/gtest.h>
#include <kp28/nvm_crc.h>
#include <kp28setup/scripted_operator.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "session_rig.h"

namespace setuptest {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

const char* kPrompt = "HOLD THE ON_LINE BUTTON and TURN ON THE PRINTER";
const char* kNotSetup = "PRINTER IS NOT IN SETUP MODE";

Bytes patterned(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + 3);
    const std::string id = "KP28FW01Release 2.00.17.";
    std::copy(id.begin(), id.begin() + std::min(id.size(), n), b.begin());
    return b;
}

TEST(ReadNvm, Kp28PlusInSetupModeAsksTheModelThenReads) {
    SessionRig rig;
    rig.printer.image = patterned(2048);
    auto& s = rig.start();
    s.cmd_readNVM_Click();
    EXPECT_EQ(rig.writes(), (Strings{"19200:n", "19200:r"}));
    EXPECT_EQ(rig.pauses, (std::vector<std::chrono::milliseconds>{500ms}));
    EXPECT_EQ(rig.message_texts(), (Strings{kPrompt}));
    EXPECT_EQ(rig.op.messages()[0].title, "PRINTER SETUP");
    EXPECT_TRUE(rig.op.messages()[0].ok_cancel);
    EXPECT_EQ(s.plus_model, 1);
    EXPECT_EQ(s.nvm_length, 2048);
    EXPECT_TRUE(
        std::equal(rig.printer.image.begin(), rig.printer.image.end(), s.nvm_image.begin()));
    EXPECT_EQ(s.crc_trailer, s.crc_computed);
    EXPECT_EQ(s.text1(), "FW: KP28FW01 - Release 2.00.17.");
    EXPECT_TRUE(s.commands().enabled(Command::WriteNvm));
    EXPECT_TRUE(s.commands().enabled(Command::ExitSetup));
    EXPECT_FALSE(s.commands().enabled(Command::Reboot));
    EXPECT_EQ(s.pointer(kp28setup::PointerTarget::Window), kp28setup::Pointer::Default);
    EXPECT_EQ(s.pointer(kp28setup::PointerTarget::ReadNvm), kp28setup::Pointer::Default);
    EXPECT_GE(rig.observer.changes[kp28setup::Change::Pointer], 4);
    EXPECT_TRUE(rig.port.is_open());
}

TEST(ReadNvm, Kp28SilentAtNormalSpeedIsReadInTheOldOrder) {
    SessionRig rig;
    rig.printer.plus = false;
    rig.printer.image = patterned(2048);
    auto& s = rig.start();
    s.cmd_readNVM_Click();
    EXPECT_EQ(rig.writes(), (Strings{"19200:n", "9600:<7>", "19200:r"}));
    // Each speed change waits for the bytes written before it to leave.
    EXPECT_EQ(rig.pauses,
              (std::vector<std::chrono::milliseconds>{500ms, 200ms, 300ms, 550ms, 200ms}));
    EXPECT_EQ(s.plus_model, 0);
    EXPECT_FALSE(s.plus_displayed());
    EXPECT_TRUE(s.kp28_checked());
    EXPECT_TRUE(s.commands().enabled(Command::WriteNvm));
    EXPECT_FALSE(s.commands().enabled(Command::ExitSetup));
    EXPECT_EQ(s.text1(), "FW: KP28FW01 - Release 2.00.17.");
    // Both speed changes let queued output leave before the close.
    EXPECT_EQ(rig.port.drains(), 2);
    // The KP28 item now skips the model query.
    s.cmd_readNVM_Click();
    EXPECT_EQ(rig.writes().size(), 5u);
    EXPECT_EQ(rig.writes()[3], "9600:<7>");
    EXPECT_EQ(rig.writes()[4], "19200:r");
}

TEST(ReadNvm, PrinterInNormalModeShowsItselfAndOffersMaintenance) {
    SessionRig rig;
    rig.printer.setup_mode = false;
    rig.printer.name = "KP28+ Passbook";
    auto& s = rig.start();
    s.cmd_readNVM_Click();
    EXPECT_EQ(rig.writes(), (Strings{"19200:n", "9600:<7>", "9600:<7>"}));
    EXPECT_EQ(rig.port.writes()[1].bytes, (Bytes{0x14, 0x14, 0x1B, 0x14, 0x01, 0x00, 0x01}));
    EXPECT_EQ(rig.port.writes()[2].bytes, (Bytes{0x14, 0x14, 0x1B, 0x14, 0x01, 0x00, 0x02}));
    EXPECT_EQ(rig.pauses,
              (std::vector<std::chrono::milliseconds>{500ms, 200ms, 300ms, 550ms, 300ms}));
    EXPECT_EQ(s.text1(), "Printer: KP28+ Passbook - FW: 1.00A");
    EXPECT_EQ(rig.message_texts(), (Strings{kPrompt, kNotSetup}));
    EXPECT_EQ(rig.op.messages()[1].title, "WARNING");
    EXPECT_EQ(rig.op.messages()[1].icon, Icon::Exclamation);
    EXPECT_TRUE(s.plus_displayed());  // the name holds "KP28+"
    EXPECT_EQ(s.plus_model, 0);       // but only the setup dialogue sets the model
    for (Command c : {Command::Reboot, Command::LoadFw, Command::UsbId, Command::SendSetup})
        EXPECT_TRUE(s.commands().enabled(c));
    for (Command c : {Command::WriteNvm, Command::RestoreMfg, Command::ReadNvm, Command::ExitSetup})
        EXPECT_FALSE(s.commands().enabled(c));
    EXPECT_EQ(rig.port.settings(), "9600,n,8,1");
}

TEST(ReadNvm, CancelledPromptSendsNothing) {
    SessionRig rig;
    rig.op.prompt_answers = {false};
    auto& s = rig.start();
    s.cmd_readNVM_Click();
    EXPECT_TRUE(rig.port.writes().empty());
    EXPECT_TRUE(s.window_enabled());
    EXPECT_EQ(s.pointer(kp28setup::PointerTarget::Screen), kp28setup::Pointer::Default);
}

TEST(ReadNvm, Kp28MenuNeverSendsTheModelQuery) {
    SessionRig rig;
    rig.printer.plus = false;
    auto& s = rig.start();
    s.mnuSetProgramforKP28_Click();
    s.cmd_readNVM_Click();
    EXPECT_EQ(rig.writes(), (Strings{"9600:<7>", "19200:r"}));
}

struct ModelReplyCase {
    const char* name;
    const char* reply;
    bool plus;
};
class ModelReply : public ::testing::TestWithParam<ModelReplyCase> {};

TEST_P(ModelReply, DecidesTheModel) {
    SessionRig rig;
    rig.printer.model_reply = GetParam().reply;
    rig.printer.setup_mode = false;  // the reply alone decides
    rig.printer.silent = false;
    auto& s = rig.start();
    rig.port.set_port_number(1);
    rig.port.open();
    rig.port.receive(std::string(GetParam().reply));
    s.detect_printer_model();
    EXPECT_EQ(s.plus_model, GetParam().plus ? 1 : 0);
    EXPECT_EQ(s.plus_displayed(), GetParam().plus);
}

INSTANTIATE_TEST_SUITE_P(Table, ModelReply,
                         ::testing::Values(ModelReplyCase{"plus_word", "KP28plus   ", true},
                                           ModelReplyCase{"plus_sign", "KP28+      ", true},
                                           ModelReplyCase{"plus_then_more", "KP28plusXYZ", true},
                                           ModelReplyCase{"blank_plus_sign", " KP28+     ", false},
                                           ModelReplyCase{"two_blanks_plus_sign", "  KP28+    ",
                                                          false},
                                           ModelReplyCase{"capital_plus", "KP28Plus   ", false},
                                           ModelReplyCase{"kp28", "KP28       ", false},
                                           ModelReplyCase{"nothing", "", false}),
                         [](const auto& tc) { return std::string(tc.param.name); });

struct LengthCase {
    const char* name;
    bool plus;           // the model on the line
    Bytes length;        // the two length bytes it sends
    std::size_t image;   // bytes of image it sends
    bool crc_plus;       // byte order of its checksum
    std::int16_t n;      // expected nvm_length
    int plus_model;      // expected afterwards
    const char* report;  // expected error report, or nullptr for a good read
};
class LengthRule : public ::testing::TestWithParam<LengthCase> {};

TEST_P(LengthRule, ReadsTheLengthTheWayTheModelSendsIt) {
    const auto& c = GetParam();
    SessionRig rig;
    rig.printer.plus = c.plus;
    rig.printer.length = c.length;
    rig.printer.image = patterned(c.image);
    rig.printer.crc_plus = c.crc_plus;
    auto& s = rig.start();
    s.cmd_readNVM_Click();
    EXPECT_EQ(s.plus_model, c.plus_model);
    const auto texts = rig.message_texts();
    if (!c.report) {
        EXPECT_EQ(s.nvm_length, c.n);
        EXPECT_TRUE(s.commands().enabled(Command::WriteNvm));
        EXPECT_EQ(texts, (Strings{kPrompt}));
        EXPECT_TRUE(std::equal(rig.printer.image.begin(),
                               rig.printer.image.begin() + std::min<std::size_t>(c.image, 2048),
                               s.nvm_image.begin()));
    } else {
        EXPECT_FALSE(s.commands().enabled(Command::WriteNvm));
        EXPECT_EQ(texts, (Strings{kPrompt, c.report, kNotSetup}));
        EXPECT_EQ(rig.op.messages()[1].title, " ");
        EXPECT_EQ(rig.op.messages()[1].icon, Icon::Critical);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, LengthRule,
    ::testing::Values(
        LengthCase{"plus_2048", true, {0x00, 0x08}, 2048, true, 2048, 1, nullptr},
        LengthCase{
            "plus_swapped_8_is_2048_old_order", true, {0x08, 0x00}, 2048, false, 2048, 0, nullptr},
        LengthCase{"kp28_2048", false, {0x08, 0x00}, 2048, false, 2048, 0, nullptr},
        LengthCase{"kp28_swapped_8_is_2048", false, {0x00, 0x08}, 2048, false, 2048, 0, nullptr},
        LengthCase{"plus_100_not_swapped", true, {100, 0}, 100, true, 100, 1, nullptr},
        LengthCase{"kp28_100_not_swapped", false, {0, 100}, 100, false, 100, 0, nullptr},
        LengthCase{"plus_99_swapped_too_long",
                   true,
                   {99, 0},
                   99,
                   false,
                   0,
                   0,
                   "COMM error(TimeOut): NVM not red"},
        LengthCase{"plus_2049_fails_after_2048",
                   true,
                   {0x01, 0x08},
                   2049,
                   true,
                   0,
                   1,
                   "COMM error(): NVM not red"},
        LengthCase{
            "high_byte_0x80", true, {0x00, 0x80}, 0, true, 0, 1, "COMM error(): NVM not red"},
        LengthCase{"kp28_high_byte_0x80",
                   false,
                   {0x80, 0x00},
                   0,
                   false,
                   0,
                   0,
                   "COMM error(): NVM not red"}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(ReadNvm, Length2049StoresTheWholeImageAndNothingPastIt) {
    SessionRig rig;
    rig.printer.length = Bytes{0x01, 0x08};
    rig.printer.image = patterned(2049);
    auto& s = rig.start();
    s.cmd_readNVM_Click();
    EXPECT_TRUE(std::equal(s.nvm_image.begin(), s.nvm_image.end(), rig.printer.image.begin()));
    EXPECT_EQ(rig.port.pending_input(), 0u);  // the report drained the rest
}

TEST(ReadNvm, BadChecksumIsReportedAndDisablesWrite) {
    SessionRig rig;
    rig.printer.bad_checksum = true;
    auto& s = rig.start();
    s.cmd_readNVM_Click();
    EXPECT_EQ(rig.message_texts(),
              (Strings{kPrompt, "COMM error(CRC error): NVM not red", kNotSetup}));
    EXPECT_FALSE(s.commands().enabled(Command::WriteNvm));
    EXPECT_EQ(s.last_comm_error, "CRC error");
}

TEST(ReadNvm, PrinterThatStopsMidTransferEndsWithTimeOut) {
    SessionRig rig;
    rig.printer.stop_after = 1000;
    auto& s = rig.start();
    s.cmd_readNVM_Click();
    EXPECT_EQ(rig.message_texts(),
              (Strings{kPrompt, "COMM error(TimeOut): NVM not red", kNotSetup}));
    EXPECT_FALSE(s.commands().enabled(Command::WriteNvm));
}

TEST(ReadNvm, SilentPrinterEndsWithTimeOut) {
    SessionRig rig;
    rig.printer.silent = true;
    auto& s = rig.start();
    s.cmd_readNVM_Click();
    EXPECT_EQ(rig.writes(), (Strings{"19200:n", "9600:<7>", "19200:r"}));
    EXPECT_EQ(s.text1(), "Printer: ");
    EXPECT_EQ(rig.message_texts(),
              (Strings{kPrompt, "COMM error(TimeOut): NVM not red", kNotSetup}));
}

TEST(ReadNvm, UsbEntryIsNotPrompted) {
    SessionRig rig;
    rig.ports = {{kp28setup::PortInfo::Kind::Serial, "COM65", "/dev/ttyACM0", true}};
    rig.port.existing_ports = {65};
    auto& s = rig.start();
    ASSERT_EQ(s.interfaces().selected_text(), "USB (CdC)");
    s.cmd_readNVM_Click();
    EXPECT_EQ(rig.message_texts(), Strings{});
    EXPECT_EQ(rig.port.port_number(), 65);
    EXPECT_TRUE(s.commands().enabled(Command::WriteNvm));
}

TEST(OpenComPort, NumberWithoutDeviceIsInvalidAndThePreviousPortReopens) {
    SessionRig rig;
    rig.ports = {{kp28setup::PortInfo::Kind::Serial, "COM1", "/dev/ttyS0", false},
                 {kp28setup::PortInfo::Kind::Serial, "COM2", "/dev/ttyS1", false}};
    auto& s = rig.start();
    s.open_com_port();
    EXPECT_EQ(rig.port.port_number(), 1);
    EXPECT_TRUE(rig.port.is_open());
    s.select_interface(1);
    s.open_com_port();  // COM2 has no device
    ASSERT_EQ(rig.message_texts(), Strings{"Invalid Port"});
    EXPECT_EQ(rig.op.messages()[0].title, " ");
    EXPECT_EQ(rig.op.messages()[0].icon, Icon::Critical);
    EXPECT_EQ(rig.port.port_number(), 1);
    EXPECT_TRUE(rig.port.is_open());
}

TEST(OpenComPort, TheConfiguredPortIsNotReopenedEvenWhenClosed) {
    SessionRig rig;
    auto& s = rig.start();
    s.open_com_port();
    rig.port.close();
    s.open_com_port();
    EXPECT_FALSE(rig.port.is_open());
    EXPECT_EQ(rig.port.opens(), 1);
}

TEST(OpenComPort, EntryWithoutComNumberIsReportedByItsErrorNumber) {
    SessionRig rig;
    rig.ports = {{kp28setup::PortInfo::Kind::Parallel, "LPT1", "/dev/lp0", false}};
    auto& s = rig.start();
    s.open_com_port();
    ASSERT_EQ(rig.message_texts(), Strings{"???????"});
    EXPECT_EQ(rig.op.messages()[0].title, "13");
    EXPECT_FALSE(rig.port.is_open());
}

// --- write ---

class WriteNvm : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("kp28setup-test-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    static Bytes file_bytes(const std::filesystem::path& p) {
        std::ifstream f(p, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(f), {});
    }

    std::filesystem::path dir_;
};

TEST_F(WriteNvm, SendsTheImageByteForByteAndSavesTheSetupFile) {
    for (bool plus : {true, false}) {
        SCOPED_TRACE(plus ? "KP28Plus" : "KP28");
        SessionRig rig;
        rig.printer.plus = plus;
        rig.printer.image = patterned(2048);
        const auto path = dir_ / (plus ? "plus.dmp" : "kp28.dmp");
        {  // an older, longer file of the same name is replaced whole
            std::ofstream old(path, std::ios::binary);
            old << std::string(5000, 'x');
        }
        rig.op.save_answers = {path.string()};
        auto& s = rig.start();
        s.cmd_readNVM_Click();
        ASSERT_TRUE(s.commands().enabled(Command::WriteNvm));
        s.nvm_image[100] ^= 0x5A;  // an edit
        const std::size_t before = rig.port.writes().size();
        const auto written = s.run(Command::WriteNvm);
        const auto& w = rig.port.writes();
        ASSERT_EQ(w.size() - before, 1 + 2048 + 4u);
        EXPECT_EQ(w[before].bytes, Bytes{'w'});
        for (std::size_t i = 0; i < 2048; ++i)
            ASSERT_EQ(w[before + 1 + i].bytes, Bytes{s.nvm_image[i]});
        Bytes edited(s.nvm_image.begin(), s.nvm_image.end());
        const auto crc = kp28::nvm_crc(edited, 2048, plus);
        for (std::size_t j = 0; j < 4; ++j) EXPECT_EQ(w[before + 2049 + j].bytes, Bytes{crc[j]});
        EXPECT_TRUE(written.done) << written.reason;
        Bytes sent = edited;
        sent.insert(sent.end(), crc.begin(), crc.end());
        EXPECT_EQ(rig.printer.written_image, sent);

        const auto& shown = rig.op.shown().back();
        ASSERT_EQ(shown.kind, kp28setup::ScriptedOperator::Shown::SaveDialog);
        EXPECT_EQ(shown.dialog.file_name, "wnvm");
        EXPECT_EQ(shown.dialog.default_ext, "dmp");
        EXPECT_EQ(shown.dialog.filter, "dmp");
        EXPECT_EQ(shown.dialog.flags, 0x8000u);
        EXPECT_EQ(shown.dialog.initial_dir, std::filesystem::current_path().string());

        const Bytes file = file_bytes(path);
        ASSERT_EQ(file.size(), 2048 + 11u);
        EXPECT_EQ(Bytes(file.begin(), file.begin() + 7),
                  (Bytes{0x14, 0x14, 0x1B, 0x14, 0x05, 0x08, 0x0D}));
        EXPECT_TRUE(std::equal(edited.begin(), edited.end(), file.begin() + 7));
        EXPECT_EQ(Bytes(file.end() - 4, file.end()), Bytes(crc.begin(), crc.end()));
        EXPECT_EQ(rig.message_texts(), (Strings{kPrompt}));
    }
}

TEST_F(WriteNvm, LengthFieldOf251BytesCarriesIntoTheHighByte) {
    SessionRig rig;
    rig.printer.length = Bytes{251, 0};
    rig.printer.image = patterned(251);
    const auto path = dir_ / "short.dmp";
    rig.op.save_answers = {path.string()};
    auto& s = rig.start();
    s.cmd_readNVM_Click();
    ASSERT_EQ(s.nvm_length, 251);
    // The scripted printer expects as many bytes as it sent.
    s.cmd_Save_Click();
    const Bytes file = file_bytes(path);
    ASSERT_EQ(file.size(), 251 + 11u);
    EXPECT_EQ(file[4], 0x00);
    EXPECT_EQ(file[5], 0x01);
}

TEST_F(WriteNvm, EchoMismatchIsReportedAndNothingIsOffered) {
    SessionRig rig;
    rig.printer.echo_mismatch = true;
    auto& s = rig.start();
    s.cmd_readNVM_Click();
    const auto written = s.run(Command::WriteNvm);
    EXPECT_EQ(rig.message_texts(), (Strings{kPrompt, "COMM error(CRC error): SETUP not saved"}));
    EXPECT_FALSE(written.done);
    EXPECT_EQ(written.reason, "COMM error(CRC error): SETUP not saved");
    for (const auto& sh : rig.op.shown())
        EXPECT_NE(sh.kind, kp28setup::ScriptedOperator::Shown::SaveDialog);
}

TEST_F(WriteNvm, SilentEchoEndsWithTimeOut) {
    SessionRig rig;
    auto& s = rig.start();
    s.cmd_readNVM_Click();
    rig.printer.silent = true;
    s.cmd_Save_Click();
    EXPECT_EQ(rig.message_texts(), (Strings{kPrompt, "COMM error(TimeOut): SETUP not saved"}));
}

TEST_F(WriteNvm, CancelledDialogSavesNothingQuietly) {
    SessionRig rig;
    auto& s = rig.start();
    EXPECT_TRUE(s.run(Command::ReadNvm).done);
    EXPECT_TRUE(s.run(Command::WriteNvm).done);
    EXPECT_EQ(rig.message_texts(), (Strings{kPrompt}));
}

TEST_F(WriteNvm, UnwritableSetupFileIsReportedWithPathAndReason) {
    SessionRig rig;
    const auto path = dir_ / "no-such-dir" / "x.dmp";
    rig.op.save_answers = {path.string()};
    auto& s = rig.start();
    s.cmd_readNVM_Click();
    s.cmd_Save_Click();
    const auto texts = rig.message_texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_NE(texts[1].find(path.string()), std::string::npos);
    EXPECT_NE(texts[1].find("No such file or directory"), std::string::npos);
    EXPECT_NE(texts[1].find("written to the printer"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(path));
}

// --- restore and exit ---

TEST(RestoreMfg, Kp28PlusGetsRThenTheRead) {
    SessionRig rig;
    auto& s = rig.start();
    s.cmd_restMFG_Click();
    EXPECT_EQ(rig.writes(), (Strings{"19200:n", "19200:R", "19200:n", "19200:r"}));
    EXPECT_EQ(rig.printer.restores, 1);
    EXPECT_TRUE(s.commands().enabled(Command::WriteNvm));
    EXPECT_EQ(rig.message_texts(), (Strings{kPrompt}));
    EXPECT_EQ(s.pointer(kp28setup::PointerTarget::RestoreMfg), kp28setup::Pointer::Default);
}

TEST(RestoreMfg, Kp28GetsTheFrameAtNormalSpeedThenR) {
    SessionRig rig;
    rig.printer.plus = false;
    auto& s = rig.start();
    s.cmd_restMFG_Click();
    EXPECT_EQ(rig.writes(), (Strings{"19200:n", "9600:<7>", "19200:R", "9600:<7>", "19200:r"}));
    EXPECT_TRUE(s.commands().enabled(Command::WriteNvm));
}

TEST(RestoreMfg, NormalModeNeverGetsR) {
    SessionRig rig;
    rig.printer.setup_mode = false;
    auto& s = rig.start();
    const auto restored = s.run(Command::RestoreMfg);
    EXPECT_EQ(rig.writes(), (Strings{"19200:n", "9600:<7>", "9600:<7>"}));
    EXPECT_EQ(rig.printer.restores, 0);
    EXPECT_EQ(rig.message_texts(), (Strings{kPrompt, kNotSetup}));
    EXPECT_FALSE(restored.done);
    EXPECT_EQ(restored.reason, kNotSetup);
}

TEST(ExitSetup, Kp28PlusGetsOneGAndTheProgramEnds) {
    SessionRig rig;
    auto& s = rig.start();
    s.Command2_Click();
    EXPECT_EQ(rig.writes(), (Strings{"19200:n", "19200:g"}));
    EXPECT_EQ(rig.pauses, (std::vector<std::chrono::milliseconds>{500ms, 500ms, 200ms}));
    EXPECT_TRUE(s.program_ended());
    EXPECT_TRUE(rig.message_texts().empty());
    EXPECT_GE(rig.port.drains(), 1);
    EXPECT_FALSE(rig.port.is_open());
}

TEST(ExitSetup, Kp28IsToldTheCommandIsNotAvailable) {
    SessionRig rig;
    rig.printer.plus = false;
    auto& s = rig.start();
    s.Command2_Click();
    EXPECT_EQ(rig.writes(), (Strings{"19200:n"}));
    EXPECT_FALSE(s.program_ended());
    ASSERT_EQ(rig.message_texts(), Strings{"COMMAND NOT AVAIABLE ON THIS PRINTER"});
    EXPECT_EQ(rig.op.messages()[0].title, "WARNING");
    EXPECT_EQ(rig.op.messages()[0].icon, Icon::Exclamation);
}

// --- primitives ---

TEST(Primitives, SendComWritesPiecesOf512) {
    SessionRig rig;
    auto& s = rig.start();
    rig.port.set_port_number(1);
    rig.port.open();
    s.dialogue().send_com(std::string(1300, 'a'));
    ASSERT_EQ(rig.port.writes().size(), 3u);
    EXPECT_EQ(rig.port.writes()[0].bytes.size(), 512u);
    EXPECT_EQ(rig.port.writes()[1].bytes.size(), 512u);
    EXPECT_EQ(rig.port.writes()[2].bytes.size(), 276u);
    s.dialogue().send_com("");
    EXPECT_EQ(rig.port.writes().size(), 3u);
}

TEST(Primitives, ReadsByteLineAndAll) {
    SessionRig rig;
    auto& line = rig.start().dialogue();
    rig.port.set_port_number(1);
    rig.port.open();
    EXPECT_EQ(line.read_com_all(), "");
    rig.port.receive(Bytes{0xFF});
    EXPECT_EQ(line.read_com_byte(), 255);
    rig.port.receive(std::string("OK\r\nrest"));
    EXPECT_EQ(line.read_com_line(), "OK\r\n");
    EXPECT_EQ(line.read_com_all(), "rest");
    EXPECT_THROW(line.read_com_byte(), kp28setup::CommError);
}

TEST(Primitives, ErrorReportDrainsPendingInput) {
    SessionRig rig;
    auto& s = rig.start();
    rig.port.set_port_number(1);
    rig.port.open();
    rig.port.receive(std::string("garbage"));
    s.last_comm_error = "Parity";
    s.failed_operation = "SETUP not saved";
    s.show_comm_error();
    EXPECT_EQ(rig.message_texts(), Strings{"COMM error(Parity): SETUP not saved"});
    EXPECT_EQ(rig.port.pending_input(), 0u);
}

TEST(Text, PrinterBytesShowAsWindows1252) {
    EXPECT_EQ(kp28setup::cp1252_to_utf8("\x80\xE0\x81"), "\u20AC\u00E0\u0081");
}

TEST(StopRequest, AfterTheFirstByteOfAWriteWaitsForTheWholeTransfer) {
    for (const bool at_w : {true, false}) {
        SCOPED_TRACE(at_w ? "stop as \"w\" goes out" : "stop before the write");
        SessionRig rig;
        rig.printer.image = patterned(2048);
        auto& s = rig.start(true);
        s.cmd_readNVM_Click();
        ASSERT_TRUE(s.commands().enabled(Command::WriteNvm));
        const std::size_t before = rig.port.writes().size();
        if (at_w) {
            auto inner = rig.port.responder;
            rig.port.responder = [&, inner](kp28setup::FakeSerialPort& p, const auto& w) {
                if (w.bytes == Bytes{'w'}) rig.stop.request();
                inner(p, w);
            };
        } else {
            rig.stop.request();
        }
        rig.op.save_answers = {std::string("/nonexistent/never.dmp")};
        const auto written = s.run(Command::WriteNvm);
        // All or nothing: "w", 2048 image bytes and 4 checksum bytes, echo
        // checked; the save dialog is not offered once a stop was asked.
        EXPECT_EQ(rig.port.writes().size() - before, at_w ? 1 + 2048 + 4u : 0u);
        EXPECT_EQ(written.done, at_w);
        EXPECT_EQ(s.printer_took_image(), at_w);
        EXPECT_EQ(rig.op.shown().size(), at_w ? 1u : 2u);  // the prompt (and the report)
    }
}

}  // namespace
}  // namespace setuptest
