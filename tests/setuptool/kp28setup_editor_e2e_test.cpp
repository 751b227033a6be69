// The parameter editor end to end: kp28setup as a child process against the
// virtual printer (the rows it reports, --set edits seen in the printer's
// NVM, refused edits that send nothing, stored descriptions), and the core
// in-process over real pseudo-terminals for a second, smaller build.
#include <gtest/gtest.h>
#include <kp28/fake_sysroot.h>
#include <kp28/protocol/description.h>
#include <kp28/protocol/model.h>
#include <kp28setup/editor.h>
#include <kp28setup/scripted_operator.h>
#include <kp28setup/serial_port_posix.h>
#include <kp28setup/session.h>
#include <kp28sim/virtual_printer.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "cli_run.h"

namespace setuptest {
namespace {

using namespace std::chrono_literals;
using kp28sim::Direction;
using kp28sim::LinkKind;
using kp28sim::Model;
using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

// Where the virtual printer's default parameters lie.
constexpr std::size_t kBaud = 32, kIp = 36, kTcpPort = 48, kDensity = 64, kHeader = 80,
                      kBranch = 120, kHeadTemp = 128;

class EditorCli : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = std::make_unique<kp28::FakeSysroot>();
        dir_ = std::filesystem::path(root_->root()) / "work";
        std::filesystem::create_directories(dir_);
    }

    kp28sim::VirtualPrinter& start(Model model, std::string description = {}, Bytes nvm = {},
                                   kp28sim::Faults faults = {}) {
        kp28sim::PrinterConfig c;
        c.model = model;
        c.start_in_setup_mode = true;
        c.usb_lp.reset();
        c.parallel_lp.reset();
        c.tcp_port.reset();
        c.description = std::move(description);
        c.nvm = std::move(nvm);
        c.faults = faults;
        printer_ = std::make_unique<kp28sim::VirtualPrinter>(*root_, c);
        printer_->start();
        return *printer_;
    }

    CliRun run(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
        return run_kp28setup(std::move(args), std::move(env), root_->root(), dir_.string());
    }

    Bytes to_printer() const { return printer_->bytes(LinkKind::Serial, Direction::ToPrinter); }

    static void put_file(const std::filesystem::path& p, const std::string& bytes) {
        std::ofstream f(p, std::ios::binary);
        f << bytes;
    }
    static std::string file_text(const std::filesystem::path& p) {
        std::ifstream f(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }

    static const json* row(const json& report, const std::string& label) {
        for (const auto& r : report["parameters"])
            if (r["label"] == label) return &r;
        return nullptr;
    }

    // Declared before the printer, which reads the tree's terminals: the
    // printer stops first.
    std::unique_ptr<kp28::FakeSysroot> root_;
    std::unique_ptr<kp28sim::VirtualPrinter> printer_;
    std::filesystem::path dir_;
};

TEST_F(EditorCli, ReadReportsEveryRowWithItsTopAndValue) {
    for (Model m : {Model::KP28Plus, Model::KP28}) {
        SCOPED_TRACE(m == Model::KP28Plus ? "KP28Plus" : "KP28");
        SetUp();
        start(m);
        const CliRun r = run({"read", "--yes", "--json"});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        const json& ps = r.out["parameters"];
        ASSERT_EQ(ps.size(), 20u);
        // Three titles, the second and third after parameter rows.
        EXPECT_EQ(ps[0], json::parse(R"({"kind": "title", "label": "COMMUNICATION", "top": 0})"));
        EXPECT_EQ(ps[8]["top"], 8 * 500 + 300);
        EXPECT_EQ(ps[14]["top"], 14 * 500 + 600);
        EXPECT_EQ(r.out["editor_height"], 20 * 500 + 600);
        EXPECT_EQ(*row(r.out, "Serial speed"),
                  json::parse(R"({"kind": "enum", "label": "Serial speed", "top": 500, "row": 0,
                    "offset": 32, "size": 1, "value": "9600", "index": 3, "stored": 3,
                    "items": ["1200", "2400", "4800", "9600", "19200"]})"));
        EXPECT_EQ(*row(r.out, "TCP port"),
                  json::parse(R"({"kind": "range", "label": "TCP port", "top": 3500, "row": 6,
                    "offset": 48, "size": 2, "value": 9100, "stored": 9100, "min": 1,
                    "max": 32767, "bias": 0, "large_step": 6553})"));
        EXPECT_EQ((*row(r.out, "Print density"))["value"], 2);  // byte 7, bias 5
        EXPECT_EQ((*row(r.out, "Head temperature offset"))["value"], -10);
        EXPECT_EQ((*row(r.out, "IP address"))["value"], "192.168.0.100");
        EXPECT_EQ((*row(r.out, "Branch code"))["value"], "0042");
        EXPECT_EQ((*row(r.out, "Header text"))["value"], "WELCOME");
        EXPECT_TRUE(r.out["warnings"].empty());
        // The description as the printer sent it, in the working directory.
        EXPECT_EQ(file_text(dir_ / "modules.txt"), kp28sim::default_description(m));
        printer_.reset();
    }
}

TEST_F(EditorCli, TextOutputIsATable) {
    start(Model::KP28Plus);
    const CliRun r = run({"read", "--yes"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.text.find("IP address"), std::string::npos);
    EXPECT_NE(r.text.find("192.168.0.100"), std::string::npos);
    EXPECT_NE(r.text.find("editor height: 10600 twips"), std::string::npos);
}

TEST_F(EditorCli, EditsOfEveryKindAreWhatThePrinterReceives) {
    for (Model m : {Model::KP28Plus, Model::KP28}) {
        SCOPED_TRACE(m == Model::KP28Plus ? "KP28Plus" : "KP28");
        SetUp();
        auto& p = start(m);
        Bytes want = p.nvm();
        const CliRun r =
            run({"write", "--yes", "--json", "--set", "Serial speed=19200", "--set", "Parity=2",
                 "--set", "Print density=-3", "--set", "TCP port=300", "--set", "Header text=HI",
                 "--set", "IP address=10.1.2.3", "--set", "Head temperature offset=25"});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(p.nvm_writes(), 1);
        want[kBaud] = 4;
        want[kBaud + 1] = 2;
        want[kDensity] = 2;  // -3 + bias 5
        kp28::put_model_u16(m, &want[kTcpPort], 300);
        want[kHeader] = 'H';
        want[kHeader + 1] = 'I';
        want[kHeader + 2] = 0;  // "COME" and the rest stay behind the end mark
        const std::uint8_t ip[4] = {10, 1, 2, 3};
        std::copy(ip, ip + 4, want.begin() + kIp);
        kp28::put_model_u16(m, &want[kHeadTemp], 65);
        EXPECT_EQ(p.nvm(), want);
        EXPECT_EQ((*row(r.out, "TCP port"))["value"], 300);
        EXPECT_EQ((*row(r.out, "Header text"))["value"], "HI");
        EXPECT_TRUE(r.out["refused"].empty());
        printer_.reset();
    }
}

TEST_F(EditorCli, UneditedValuesTheRowsCannotShowExactlyAreWrittenBackUnchanged) {
    for (Model m : {Model::KP28Plus, Model::KP28}) {
        SCOPED_TRACE(m == Model::KP28Plus ? "KP28Plus" : "KP28");
        SetUp();
        Bytes nvm = kp28sim::default_nvm(m);
        nvm[kBaud] = 9;                                 // names no item
        nvm[kDensity] = 200;                            // far outside -5..5
        kp28::put_model_u16(m, &nvm[kTcpPort], 40000);  // above 32767
        const char full[] = "ABCDEFGH";                 // fills its field
        std::copy(full, full + 8, nvm.begin() + kBranch);
        auto& p = start(m, {}, nvm);
        const CliRun r = run({"write", "--yes", "--json", "--set", "Parity=Odd"});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        Bytes want = nvm;
        want[kBaud + 1] = 2;
        EXPECT_EQ(p.nvm(), want);
        EXPECT_EQ((*row(r.out, "Serial speed"))["value"], nullptr);
        EXPECT_EQ((*row(r.out, "Print density"))["value"], 195);
        EXPECT_EQ((*row(r.out, "TCP port"))["value"], 40000);
        EXPECT_EQ((*row(r.out, "Branch code"))["value"], "ABCDEFGH");
        printer_.reset();
    }
}

TEST_F(EditorCli, RefusedEditsSendNothingToThePrinter) {
    struct Case {
        const char* set;
        const char* says;
    };
    for (const Case& c : {
             Case{"No such row=1", "no parameter row is labelled"},
             Case{"Print density=6", "outside -5..5"},
             Case{"Print density=x", "not a whole number"},
             Case{"Serial speed=115200", "no item"},
             Case{"Serial speed=7", "no item 7"},
             Case{"Branch code=123456789", "longer than the field"},
             Case{"Header text=\xCE\xA9", "single-byte"},
             Case{"IP address=1.2.3.256", "octet 4"},
             Case{"Gateway=1.2.3", "not an address"},
             Case{"PRINTING=1", "title"},
             Case{"#99=1", "no parameter row #99"},
             Case{"no equals sign", "not LABEL=VALUE"},
         }) {
        SCOPED_TRACE(c.set);
        SetUp();
        auto& p = start(Model::KP28Plus);
        const Bytes before = p.nvm();
        // A good edit first: a later refusal still stops the write.
        const CliRun r = run({"write", "--yes", "--json", "--set", "Parity=Odd", "--set", c.set});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        ASSERT_EQ(r.out["refused"].size(), 1u);
        EXPECT_EQ(to_printer(), Bytes({'n', 'r', 'm'}));
        EXPECT_EQ(p.nvm_writes(), 0);
        EXPECT_EQ(p.nvm(), before);
        printer_.reset();
    }
}

TEST_F(EditorCli, RepeatedLabelsArePickedByRowNumber) {
    using kp28::EnumRecord, kp28::RangeRecord;
    const std::string d = kp28::format_description(
        {EnumRecord{"Same", 1, 10, {"a", "b"}}, RangeRecord{'M', "Same", 1, 11, 0, 9, 0},
         RangeRecord{'M', "a=b", 1, 12, 0, 9, 0}, kp28::EndRecord{}});
    auto& p = start(Model::KP28Plus, d, Bytes(2048, 0));
    CliRun r = run({"write", "--yes", "--json", "--set", "Same=1"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("#0 #1"), std::string::npos) << r.err;
    EXPECT_EQ(p.nvm_writes(), 0);
    r = run({"write", "--yes", "--json", "--set", "#1=7", "--set", "#0=b", "--set", "a=b=4"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const Bytes nvm = p.nvm();
    EXPECT_EQ(nvm[10], 1);
    EXPECT_EQ(nvm[11], 7);
    EXPECT_EQ(nvm[12], 4);
}

TEST_F(EditorCli, MalformedDescriptionBuildsWhatItCanAndSaysWhatItSkipped) {
    const std::string d =
        "T\tFIRST\t\r\nE\tok\t1\t32\t2\ta\tb\t\r\nM\tno bias\t1\t33\t0\t5\t\r\n"
        "S\toutside\t100\t2000\t\r\nI\tip\t4\t36\t\r\nE\tbad count\t1\t34\tx\t\r\nZ\t\r\n";
    start(Model::KP28Plus, d);
    const CliRun r = run({"read", "--yes", "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const json& ps = r.out["parameters"];
    ASSERT_EQ(ps.size(), 3u);
    EXPECT_EQ(ps[1]["label"], "ok");
    EXPECT_EQ(ps[2]["label"], "ip");
    EXPECT_EQ(ps[2]["row"], 1);
    EXPECT_EQ(ps[2]["top"], 1000);
    ASSERT_EQ(r.out["warnings"].size(), 3u);
    EXPECT_EQ(std::string(r.out["warnings"][0]).rfind("line 3 (M):", 0), 0u);
    EXPECT_NE(std::string(r.out["status"]).find("3 problems"), std::string::npos);
}

TEST_F(EditorCli, DescriptionThatNeverEndsOrBreaksOffEndsTheBuildWithAReport) {
    const std::string no_end = "T\tA\t\r\nE\tx\t1\t32\t1\ta\t\r\n";
    kp28sim::Faults cut;
    cut.cut_after_bytes = 1 + 11 + 1 + 2 + 2048 + 4 + 1 + 40;  // into the description
    struct Case {
        const char* name;
        std::string description;
        kp28sim::Faults faults;
    };
    for (const Case& c : {Case{"no end line", no_end, {}}, Case{"link cut", {}, cut}}) {
        SCOPED_TRACE(c.name);
        SetUp();
        start(Model::KP28Plus, c.description, {}, c.faults);
        const CliRun r = run({"write", "--yes", "--json", "--set", "x=a"},
                             {{"KP28SETUP_READ_TIMEOUT_MS", "300"}});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_LT(r.seconds, 10.0);
        bool reported = false;
        for (const auto& msg : r.out["messages"])
            reported |=
                std::string(msg["text"])
                    .rfind("COMM error(TimeOut): parameter description not received", 0) == 0;
        EXPECT_TRUE(reported) << r.out.dump();
        EXPECT_TRUE(r.out["parameters"].empty());
        EXPECT_EQ(r.out["refused"].size(), 1u);
        EXPECT_EQ(printer_->nvm_writes(), 0);
        printer_.reset();
    }
}

TEST_F(EditorCli, StoredDescriptionAndImageNeedNoPrinter) {
    start(Model::KP28);
    const CliRun live = run({"read", "--yes", "--json", "--image", "nvm.bin", "--model", "kp28"});
    ASSERT_EQ(live.exit_code, 0) << live.err;
    printer_.reset();
    const CliRun stored = run(
        {"read", "--json", "--model", "kp28", "--modules", "modules.txt", "--image", "nvm.bin"});
    ASSERT_EQ(stored.exit_code, 0) << stored.err;
    EXPECT_EQ(stored.out["parameters"], live.out["parameters"]);
    EXPECT_EQ(stored.out["editor_height"], live.out["editor_height"]);

    put_file(dir_ / "bad.txt", "E\tshort\t1\t\r\nS\ts\t4\t0\t\r\n");
    const CliRun bad = run({"read", "--json", "--modules", "bad.txt", "--image", "nvm.bin"});
    ASSERT_EQ(bad.exit_code, 0) << bad.err;
    EXPECT_EQ(bad.out["parameters"].size(), 1u);
    EXPECT_EQ(bad.out["warnings"].size(), 2u);  // the bad record and the missing end line

    const CliRun missing = run({"read", "--modules", "none.txt", "--image", "nvm.bin"});
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_NE(missing.err.find("none.txt"), std::string::npos);
    EXPECT_EQ(run({"read", "--modules", "bad.txt"}).exit_code, 2);
}

// --- the core in-process: two printers, the second with fewer rows ---

struct Mirror : kp28setup::EditorObserver {
    int created = 0;
    std::vector<std::string> warnings;
    void element_created(kp28setup::Family, int) override { ++created; }
    void build_finished(int, const std::vector<std::string>& w) override { warnings = w; }
};

TEST(EditorInProcess, SecondBuildWithFewerRowsReusesTheHiddenElements) {
    kp28::FakeSysroot root;
    const std::string small = kp28::format_description(
        {kp28::TitleRecord{"ONLY"}, kp28::IpRecord{"Address", 4, 36}, kp28::EndRecord{}});
    kp28sim::PrinterConfig a, b;
    for (auto* c : {&a, &b}) {
        c->start_in_setup_mode = true;
        c->usb_lp.reset();
        c->parallel_lp.reset();
        c->tcp_port.reset();
    }
    b.serial = "ttyS1";
    b.description = small;
    kp28sim::VirtualPrinter pa(root, a), pb(root, b);
    pa.start();
    pb.start();

    const std::string r = root.root();
    kp28setup::PosixSerialPort port([r](int com) { return kp28setup::node_for_com(r, com); });
    kp28setup::ScriptedOperator op;
    Mirror mirror;
    kp28setup::Editor editor(&mirror);
    const auto dir = std::filesystem::path(r) / "work";
    std::filesystem::create_directories(dir);
    kp28setup::SessionDeps deps{port,
                                op,
                                [r] { return kp28setup::scan_ports(r); },
                                {},
                                nullptr,
                                &editor,
                                kp28setup::TimeLimits{}};
    deps.modules_path = (dir / "modules.txt").string();
    kp28setup::Session s(std::move(deps));
    s.Form_Load();

    s.cmd_readNVM_Click();
    ASSERT_EQ(editor.rows().size(), 20u);
    const int created_first = mirror.created;
    EXPECT_EQ(editor.created_count(kp28setup::Family::ItemTitle), 16);

    s.select_interface(1);  // COM2, the second printer
    s.cmd_readNVM_Click();
    ASSERT_EQ(editor.rows().size(), 2u);
    EXPECT_EQ(mirror.created, created_first);
    EXPECT_EQ(editor.created_count(kp28setup::Family::ItemTitle), 16);
    int visible = 0;
    for (kp28setup::Family f : kp28setup::kFamilies)
        for (int i = 0; i <= editor.created_count(f); ++i) visible += editor.element(f, i).visible;
    EXPECT_EQ(visible, 3);  // the title, the row label and the address boxes
    EXPECT_EQ(editor.rows()[1].value, "192.168.0.100");
    EXPECT_EQ(editor.content().height, 1000);
    s.close_link();
}

}  // namespace
}  // namespace setuptest
