// kp28setup as a child process against a printer on a serial node of a fake
// sysroot: the bytes and speeds the printer receives, the JSON report, the
// setup files and the exit status, for both models, both modes and the
// faults a line can have.
#include <gtest/gtest.h>
#include <kp28/fake_sysroot.h>
#include <kp28/nvm_crc.h>
#include <kp28/protocol/setup.h>
#include <kp28sim/virtual_printer.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "cli_run.h"
#include "line_printer.h"

namespace setuptest {
namespace {

using namespace std::chrono_literals;
using kp28sim::Direction;
using kp28sim::LinkKind;
using kp28sim::Model;
using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

const char* kPrompt = "HOLD THE ON_LINE BUTTON and TURN ON THE PRINTER";
const char* kNotSetup = "PRINTER IS NOT IN SETUP MODE";

class Kp28setup : public ::testing::Test {
  protected:
    void SetUp() override { fresh_root(); }

    // A new tree (and no printer) for each case of a table.
    void fresh_root() {
        printer_.reset();
        root_ = std::make_unique<kp28::FakeSysroot>();
        dir_ = std::filesystem::path(root_->root()) / "work";
        std::filesystem::create_directories(dir_);
    }

    kp28sim::VirtualPrinter& start(Model model, bool setup_mode, kp28sim::Faults faults = {}) {
        kp28sim::PrinterConfig c;
        c.model = model;
        c.start_in_setup_mode = setup_mode;
        c.usb_lp.reset();
        c.parallel_lp.reset();
        c.tcp_port.reset();
        c.faults = faults;
        printer_ = std::make_unique<kp28sim::VirtualPrinter>(*root_, c);
        printer_->start();
        return *printer_;
    }

    CliRun run(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
        return run_kp28setup(std::move(args), std::move(env), root_->root(), dir_.string());
    }

    // The bytes the printer received, each with the speed it came at.
    std::vector<std::pair<unsigned, Bytes>> received() const {
        std::vector<std::pair<unsigned, Bytes>> out;
        for (const auto& e : printer_->transcript()) {
            if (e.direction != Direction::ToPrinter || e.kind != LinkKind::Serial) continue;
            if (!out.empty() && out.back().first == e.speed)
                out.back().second.insert(out.back().second.end(), e.bytes.begin(), e.bytes.end());
            else
                out.emplace_back(e.speed, e.bytes);
        }
        return out;
    }

    static Bytes file_bytes(const std::filesystem::path& p) {
        std::ifstream f(p, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(f), {});
    }

    // The printer's thread reads the tree's terminals: declared after the tree,
    // it is stopped before the tree is taken down.
    std::unique_ptr<kp28::FakeSysroot> root_;
    std::unique_ptr<kp28sim::VirtualPrinter> printer_;
    std::filesystem::path dir_;
};

const Bytes kNameQuery = {0x14, 0x14, 0x1B, 0x14, 0x01, 0x00, 0x01};
const Bytes kVersionQuery = {0x14, 0x14, 0x1B, 0x14, 0x01, 0x00, 0x02};

TEST_F(Kp28setup, InterfacesListEntriesNamesAndNodes) {
    root_->add_serial_port("ttyS0");
    root_->add_serial_port("ttyUSB1");
    root_->add_serial_port("ttyACM0", true);
    root_->add_parallel_port(0);
    const CliRun r = run({"interfaces", "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const json want = json::parse(R"j([
        {"entry": "COM1", "name": "COM1", "node": "ROOT/dev/ttyS0"},
        {"entry": "COM34", "name": "COM34", "node": "ROOT/dev/ttyUSB1"},
        {"entry": "USB (CdC)", "name": "COM65", "node": "ROOT/dev/ttyACM0"},
        {"entry": "LPT1", "name": "LPT1", "node": "ROOT/dev/lp0"},
        {"entry": "LAN", "name": "", "node": null}])j");
    json got = r.out["interfaces"];
    for (auto& e : got)
        if (e["node"].is_string()) {
            std::string n = e["node"];
            e["node"] = "ROOT" + n.substr(root_->root().size());
        }
    EXPECT_EQ(got, want);
}

// Behind "USB": the printers the USB library lists (the first is the one the
// commands use), none, or why the library could not be asked.
TEST_F(Kp28setup, InterfacesShowThePrintersBehindUsb) {
    struct Case {
        const char* what;
        int printers;
        std::map<std::string, std::string> env;
        std::string text_has;  // in the USB line of the text listing
        const char* error_has;
    };
    const std::vector<Case> cases = {
        {"two printers", 2, {}, "NODE0, NODE1", nullptr},
        {"no printer", 0, {}, "(no USB printer found)", nullptr},
        {"no library",
         1,
         {{"KP28WRAP_LIBRARY", "/nonexistent/libkp28wrap.so.1"}},
         "(/nonexistent/libkp28wrap.so.1",
         "/nonexistent/libkp28wrap.so.1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fresh_root();
        root_->add_serial_port("ttyS0");
        for (int i = 0; i < c.printers; ++i) root_->add_usb_printer(i);
        auto node = [&](int i) { return root_->usb_node(i); };
        const CliRun r = run({"interfaces", "--json"}, c.env);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        const json* usb = nullptr;
        for (const auto& e : r.out["interfaces"])
            if (e["entry"] == "USB") usb = &e;
        ASSERT_NE(usb, nullptr) << r.text;
        if (c.error_has) {
            EXPECT_NE((*usb)["error"].get<std::string>().find(c.error_has), std::string::npos)
                << *usb;
            EXPECT_TRUE((*usb)["printers"].empty());
            EXPECT_TRUE((*usb)["node"].is_null());
        } else {
            EXPECT_FALSE(usb->contains("error")) << *usb;
            ASSERT_EQ((*usb)["printers"].size(), static_cast<std::size_t>(c.printers)) << *usb;
            for (int i = 0; i < c.printers; ++i) {
                EXPECT_EQ((*usb)["printers"][i]["node"], node(i));
                const std::string path = (*usb)["printers"][i]["path"];
                EXPECT_TRUE(path.starts_with("usb#vid_3509&pid_")) << path;
            }
            if (c.printers > 0)
                EXPECT_EQ((*usb)["node"], node(0));
            else
                EXPECT_TRUE((*usb)["node"].is_null());
        }

        const CliRun t = run({"interfaces"}, c.env);
        ASSERT_EQ(t.exit_code, 0) << t.err;
        std::string want = c.text_has;
        for (int i = 0; i < 2; ++i) {
            const std::string key = "NODE" + std::to_string(i);
            if (auto at = want.find(key); at != std::string::npos)
                want.replace(at, key.size(), node(i));
        }
        EXPECT_NE(t.text.find("USB\t\t" + want), std::string::npos) << t.text;
    }
}

TEST_F(Kp28setup, ReadsAKp28PlusInSetupModeAndSavesItsFiles) {
    auto& p = start(Model::KP28Plus, true);
    const CliRun r = run({"read", "--yes", "--json", "--save", "r.dmp", "--image", "r.bin"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(received(), (std::vector<std::pair<unsigned, Bytes>>{{19200, letters("nrm")}}));
    const Bytes image = p.nvm();
    const auto crc = kp28::nvm_crc(image, image.size(), true);
    EXPECT_EQ(r.out["command"], "read");
    EXPECT_EQ(r.out["ok"], true);
    EXPECT_EQ(r.texts(), (std::vector<std::string>{kPrompt}));
    EXPECT_EQ(r.out["messages"][0]["title"], "PRINTER SETUP");
    EXPECT_EQ(r.out["messages"][0]["icon"], "none");
    EXPECT_EQ(r.out["model"], "KP28Plus");
    EXPECT_EQ(r.out["plus_model"], 1);
    EXPECT_EQ(r.out["last_comm_error"], "");
    EXPECT_EQ(r.out["failed_operation"], "NVM not red");
    EXPECT_EQ(r.out["printer"], "FW: " + std::string(image.begin(), image.begin() + 8) + " - " +
                                    std::string(image.begin() + 8, image.begin() + 24));
    EXPECT_EQ(r.out["nvm"]["length"], 2048);
    char hex[9];
    std::snprintf(hex, sizeof hex, "%02X%02X%02X%02X", crc[0], crc[1], crc[2], crc[3]);
    EXPECT_EQ(r.out["nvm"]["checksum"], hex);
    EXPECT_EQ(r.out["commands"], json::parse(R"({"Read NVM": true, "Write NVM": true,
        "Restore MFG": true, "Send  Setup": false, "Exit from SETUP": true, "Reboot": false,
        "Load FW": false, "USB ID": false, "Refresh List Interfaces": true})"));
    EXPECT_EQ(file_bytes(dir_ / "r.dmp"), kp28::load_setup_frame(image, crc));
    EXPECT_EQ(file_bytes(dir_ / "r.bin"), image);
}

TEST_F(Kp28setup, ReadsAKp28ThatIsSilentAtNormalSpeed) {
    auto& p = start(Model::KP28, true);
    const CliRun r = run({"read", "--yes", "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(received(), (std::vector<std::pair<unsigned, Bytes>>{
                              {19200, letters("n")}, {9600, kNameQuery}, {19200, letters("rm")}}));
    EXPECT_EQ(r.out["plus_model"], 0);
    EXPECT_EQ(r.out["model"], "KP28");
    EXPECT_EQ(r.out["commands"]["Exit from SETUP"], false);
    EXPECT_EQ(r.out["commands"]["Write NVM"], true);
    const auto crc = kp28::nvm_crc(p.nvm(), 2048, false);
    char hex[9];
    std::snprintf(hex, sizeof hex, "%02X%02X%02X%02X", crc[0], crc[1], crc[2], crc[3]);
    EXPECT_EQ(r.out["nvm"]["checksum"], hex);
}

TEST_F(Kp28setup, PrinterInNormalModeIsIdentifiedAndNotRead) {
    for (Model m : {Model::KP28Plus, Model::KP28}) {
        SCOPED_TRACE(m == Model::KP28Plus ? "KP28Plus" : "KP28");
        printer_.reset();
        fresh_root();
        start(m, false);
        const CliRun r = run({"read", "--yes", "--json"});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(received(), (std::vector<std::pair<unsigned, Bytes>>{
                                  {19200, letters("n")}, {9600, kNameQuery + kVersionQuery}}));
        const std::string name = printer_->product_name();
        EXPECT_EQ(r.out["printer"], "Printer: " + name + " - FW: 1.00A");
        EXPECT_EQ(r.texts(), (std::vector<std::string>{kPrompt, kNotSetup}));
        EXPECT_EQ(r.out["commands"]["Reboot"], true);
        EXPECT_EQ(r.out["commands"]["Read NVM"], false);
        printer_.reset();
    }
}

TEST_F(Kp28setup, FaultsEndTheReadThroughItsReport) {
    struct Case {
        const char* name;
        kp28sim::Faults faults;
        const char* report;
    };
    kp28sim::Faults bad, longer, silent, cut;
    bad.bad_nvm_checksum = true;
    longer.nvm_length_2049 = true;
    silent.silent = true;
    cut.cut_after_bytes = 1 + 11 + 1 + 700;  // "n", its reply, "r", part of the image
    for (const Case& c : {Case{"bad checksum", bad, "COMM error(CRC error): NVM not red"},
                          Case{"length 2049", longer, "COMM error(): NVM not red"},
                          Case{"silent", silent, "COMM error(TimeOut): NVM not red"},
                          Case{"stops mid-transfer", cut, "COMM error(TimeOut): NVM not red"}}) {
        SCOPED_TRACE(c.name);
        fresh_root();
        start(Model::KP28Plus, true, c.faults);
        const CliRun r = run({"read", "--yes", "--json"}, {{"KP28SETUP_READ_TIMEOUT_MS", "300"}});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.texts(), (std::vector<std::string>{kPrompt, c.report, kNotSetup}));
        EXPECT_EQ(r.out["messages"][1]["title"], " ");
        EXPECT_EQ(r.out["messages"][1]["icon"], "critical");
        EXPECT_EQ(r.out["commands"]["Write NVM"], false);
        EXPECT_LT(r.seconds, 10.0);
        printer_.reset();
    }
}

TEST_F(Kp28setup, WriteSendsTheImageAndSavesTheSetupFile) {
    for (Model m : {Model::KP28Plus, Model::KP28}) {
        const bool plus = m == Model::KP28Plus;
        SCOPED_TRACE(plus ? "KP28Plus" : "KP28");
        fresh_root();
        auto& p = start(m, true);
        const Bytes image = p.nvm();
        {
            std::ofstream old(dir_ / "w.dmp", std::ios::binary);
            old << std::string(4000, 'x');
        }
        const CliRun r = run({"write", "--yes", "--json", "--save", "w.dmp"});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        const auto crc = kp28::nvm_crc(image, 2048, plus);
        const Bytes crcb(crc.begin(), crc.end());
        const Bytes tail = letters("w") + image + crcb;
        const auto got = received();
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.back().first, 19200u);
        const Bytes& last = got.back().second;
        ASSERT_GE(last.size(), tail.size());
        EXPECT_EQ(Bytes(last.end() - static_cast<long>(tail.size()), last.end()), tail);
        EXPECT_EQ(p.nvm_writes(), 1);
        EXPECT_EQ(file_bytes(dir_ / "w.dmp"), kp28::load_setup_frame(image, crc));
        EXPECT_EQ(r.out["ok"], true);
        EXPECT_EQ(r.texts(), (std::vector<std::string>{kPrompt}));
        printer_.reset();
    }
}

TEST_F(Kp28setup, WriteWithoutSaveCancelsTheDialogAndAnUnwritableFileIsReported) {
    start(Model::KP28Plus, true);
    CliRun r = run({"write", "--yes", "--json"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.texts(), (std::vector<std::string>{kPrompt}));
    r = run({"write", "--yes", "--json", "--save", "no/such/dir/w.dmp"});
    EXPECT_EQ(r.exit_code, 1);
    ASSERT_EQ(r.texts().size(), 2u);
    EXPECT_NE(r.texts()[1].find("no/such/dir/w.dmp"), std::string::npos);
    EXPECT_NE(r.texts()[1].find("No such file or directory"), std::string::npos);
    EXPECT_EQ(printer_->nvm_writes(), 2);
}

TEST_F(Kp28setup, RestoreSendsRThenReadsTheDefaults) {
    auto& p = start(Model::KP28Plus, true);
    const CliRun r = run({"restore", "--yes", "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(received(), (std::vector<std::pair<unsigned, Bytes>>{{19200, letters("nRnrm")}}));
    EXPECT_EQ(p.nvm(), kp28sim::default_nvm(Model::KP28Plus));
    EXPECT_EQ(r.out["commands"]["Write NVM"], true);
}

// After a good restore the image and the editor are those of a read.
TEST_F(Kp28setup, RestoreReportsTheImageAndParametersAsReadDoes) {
    start(Model::KP28Plus, true);
    const CliRun r = run({"restore", "--yes", "--json", "--image", "r.img", "--save", "r.dmp"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto defaults = kp28sim::default_nvm(Model::KP28Plus);
    EXPECT_EQ(file_bytes(dir_ / "r.img"), Bytes(defaults.begin(), defaults.end()));
    EXPECT_GT(std::filesystem::file_size(dir_ / "r.dmp"), 0u);
    EXPECT_GT(r.out["nvm"]["length"].get<int>(), 0);
    EXPECT_FALSE(r.out["parameters"].empty());
    const CliRun t = run({"restore", "--yes"});
    ASSERT_EQ(t.exit_code, 0) << t.err;
    EXPECT_NE(t.text.find("\nnvm: " + r.out["nvm"]["length"].dump() + " bytes, checksum " +
                          r.out["nvm"]["checksum"].get<std::string>()),
              std::string::npos)
        << t.text;
}

// What the window never offers on an entry is refused before any port is
// opened or any prompt shown.
TEST_F(Kp28setup, CommandsTheWindowNeverOffersOnTheEntryAreRefused) {
    root_->add_serial_port("ttyS0");
    root_->add_parallel_port(0);
    root_->add_parallel_port(1);
    const struct {
        std::vector<std::string> args;
        const char *caption, *entry;
    } cases[] = {
        {{"read", "-i", "LPT2"}, "Read NVM", "LPT2"},
        {{"write", "-i", "USB"}, "Write NVM", "USB"},
        {{"restore", "-i", "LAN"}, "Restore MFG", "LAN"},
        {{"exit-setup", "-i", "LPT1"}, "Exit from SETUP", "LPT1"},
        {{"reboot", "-i", "LAN", "--model", "kp28"}, "Reboot", "LAN"},
        {{"usb-id", "ID", "-i", "LPT1"}, "USB ID", "LPT1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.entry);
        auto args = c.args;
        args.insert(args.end(), {"--yes", "--json"});
        const CliRun r = run(args);
        EXPECT_EQ(r.exit_code, 2) << r.err;
        EXPECT_EQ(r.out["ok"], false);
        EXPECT_TRUE(r.texts().empty());
        const std::string why = r.out["error"];
        for (const std::string& part :
             {c.args[0] + " refused", "\"" + std::string(c.caption) + "\"",
              "\"" + std::string(c.entry) + "\""})
            EXPECT_NE(why.find(part), std::string::npos) << why;
        EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
    }
}

TEST_F(Kp28setup, RestoreNeverSendsRInNormalMode) {
    start(Model::KP28, false);
    const CliRun r = run({"restore", "--yes", "--json"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(received(), (std::vector<std::pair<unsigned, Bytes>>{
                              {19200, letters("n")}, {9600, kNameQuery + kVersionQuery}}));
    EXPECT_EQ(r.texts(), (std::vector<std::string>{kPrompt, kNotSetup}));
}

TEST_F(Kp28setup, ExitSetupSendsOneGToAKp28Plus) {
    auto& p = start(Model::KP28Plus, true);
    const CliRun r = run({"exit-setup", "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // The program has ended; its last byte is read by the printer in its own time.
    EXPECT_TRUE(p.wait_until(
        [&] { return p.bytes(LinkKind::Serial, Direction::ToPrinter).size() >= 2; }, 10s));
    EXPECT_TRUE(p.wait_until([&] { return !p.in_setup_mode(); }, 10s));
    EXPECT_EQ(received(), (std::vector<std::pair<unsigned, Bytes>>{{19200, letters("ng")}}));
    EXPECT_TRUE(r.texts().empty());
    EXPECT_FALSE(p.in_setup_mode());
}

TEST_F(Kp28setup, ExitSetupIsRefusedForAKp28) {
    start(Model::KP28, true);
    const CliRun r = run({"exit-setup", "--json"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.texts(), (std::vector<std::string>{"COMMAND NOT AVAIABLE ON THIS PRINTER"}));
    EXPECT_EQ(received(), (std::vector<std::pair<unsigned, Bytes>>{{19200, letters("n")}}));
}

TEST_F(Kp28setup, Kp28ModelOptionSkipsTheModelQuery) {
    start(Model::KP28, true);
    const CliRun r = run({"read", "--yes", "--json", "--model", "kp28", "-i", "COM1"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(received(), (std::vector<std::pair<unsigned, Bytes>>{{9600, kNameQuery},
                                                                   {19200, letters("rm")}}));
}

TEST_F(Kp28setup, UsageErrorsAndHelp) {
    start(Model::KP28Plus, true);
    EXPECT_EQ(run({"read", "-i", "COM9"}).exit_code, 2);
    EXPECT_EQ(run({"read", "--model", "kp29"}).exit_code, 2);
    EXPECT_EQ(run({"frobnicate"}).exit_code, 2);
    EXPECT_EQ(run({}).exit_code, 2);
    const auto help = fwtest::run_child({KP28SETUP_PATH, "--help"}, {}, dir_.string(), 20s);
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("KP28SETUP_READ_TIMEOUT_MS"), std::string::npos);
    EXPECT_TRUE(received().empty());
}

TEST_F(Kp28setup, PromptIsAskedOnTheTerminalWithoutYes) {
    start(Model::KP28Plus, true);
    // No terminal answer (standard input at its end) counts as Cancel.
    const CliRun r = run({"read", "--json"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.texts(), (std::vector<std::string>{kPrompt}));
    EXPECT_TRUE(received().empty());
}

// Lengths and echoes that only a printer of the test's own making sends.
struct LengthCase {
    const char* name;
    Bytes length;
    std::size_t sent;
    bool ok;
    int n;
    const char* report = "COMM error(TimeOut): NVM not red";
};

TEST_F(Kp28setup, LengthsAroundTheSwapRule) {
    for (const LengthCase& c :
         {LengthCase{"8 becomes 2048", {0x08, 0x00}, 2048, true, 2048},
          LengthCase{"99 swapped is too long", {99, 0}, 99, false, 0},
          LengthCase{"100 stays", {100, 0}, 100, true, 100},
          LengthCase{"0 is no image", {0, 0}, 0, false, 0, "COMM error(): NVM not red"}}) {
        SCOPED_TRACE(c.name);
        fresh_root();
        Bytes image(c.sent);
        for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 5);
        // The length rule makes a swapped length the older model's order.
        const bool plus_after = c.length[0] >= 100;
        const auto crc = kp28::nvm_crc(image, image.size(), plus_after);
        LinePrinter lp(*root_, "ttyS0", [&](std::uint8_t b, unsigned speed) -> Bytes {
            if (speed != 19200) return {};
            if (b == 'n') return letters("KP28plus   ");
            if (b == 'r') return c.length + image + Bytes(crc.begin(), crc.end());
            if (b == 'm') return letters("Z\t\r\n");
            return {};
        });
        const CliRun r = run({"read", "--yes", "--json"}, {{"KP28SETUP_READ_TIMEOUT_MS", "300"}});
        EXPECT_EQ(r.exit_code, c.ok ? 0 : 1) << r.err;
        if (c.ok) {
            EXPECT_EQ(r.out["nvm"]["length"], c.n);
            EXPECT_EQ(r.out["plus_model"], plus_after ? 1 : 0);
        } else {
            EXPECT_EQ(r.texts()[1], c.report);
            EXPECT_EQ(r.out["commands"]["Write NVM"], false);
        }
    }
}

TEST_F(Kp28setup, EchoMismatchIsReportedAndNothingIsSaved) {
    const Bytes image(2048, 0x42);
    const auto crc = kp28::nvm_crc(image, 2048, true);
    std::size_t w_left = 0;
    LinePrinter lp(*root_, "ttyS0", [&](std::uint8_t b, unsigned) -> Bytes {
        if (w_left > 0)
            return --w_left == 0 ? Bytes{crc[0], crc[1], crc[2], std::uint8_t(crc[3] ^ 1)}
                                 : Bytes{};
        if (b == 'n') return letters("KP28+      ");
        if (b == 'r') return Bytes{0x00, 0x08} + image + Bytes(crc.begin(), crc.end());
        if (b == 'm') return letters("Z\t\r\n");
        if (b == 'w') w_left = 2048 + 4;
        return {};
    });
    const CliRun r = run({"write", "--yes", "--json", "--save", "e.dmp"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.texts(),
              (std::vector<std::string>{kPrompt, "COMM error(CRC error): SETUP not saved"}));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "e.dmp"));
    // "w", every image byte and the checksum went out at the setup speed.
    const auto got = lp.received();
    ASSERT_EQ(got.size(), 3 + 1 + 2048 + 4u);
    for (const auto& [speed, byte] : got) EXPECT_EQ(speed, 19200u);
}

}  // namespace
}  // namespace setuptest
