// Setups as data end to end: kp28setup show, diff and apply as a child
// process against the virtual printer and against the files read saves.
#include <gtest/gtest.h>
#include <kp28/fake_sysroot.h>
#include <kp28/protocol/model.h>
#include <kp28/protocol/setup.h>
#include <kp28sim/virtual_printer.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "cli_run.h"

namespace setuptest {
namespace {

using kp28sim::Model;
using nlohmann::json;

// Where the virtual printer's default parameters lie.
constexpr std::size_t kBaud = 32, kParity = 33, kDensity = 64, kHeader = 80;
// A byte no parameter row covers.
constexpr std::size_t kLoose = 2000;

class SetupsCli : public ::testing::Test {
  protected:
    void SetUp() override {
        printer_.reset();
        root_ = std::make_unique<kp28::FakeSysroot>();
        dir_ = std::filesystem::path(root_->root()) / "work";
        std::filesystem::create_directories(dir_);
    }

    kp28sim::VirtualPrinter& start(Model model, Bytes nvm = {}, kp28sim::Faults faults = {},
                                   std::string description = {}) {
        printer_.reset();
        kp28sim::PrinterConfig c;
        c.model = model;
        c.start_in_setup_mode = true;
        c.usb_lp.reset();
        c.parallel_lp.reset();
        c.tcp_port.reset();
        c.nvm = std::move(nvm);
        c.faults = faults;
        c.description = std::move(description);
        printer_ = std::make_unique<kp28sim::VirtualPrinter>(*root_, c);
        printer_->start();
        return *printer_;
    }

    CliRun run(std::vector<std::string> args) {
        return run_kp28setup(std::move(args), {}, root_->root(), dir_.string());
    }

    int events(const std::string& starting) const {
        const auto e = printer_->events();
        return static_cast<int>(std::count_if(
            e.begin(), e.end(), [&](const std::string& s) { return s.rfind(starting, 0) == 0; }));
    }
    int reads() const { return events("setup: NVM read"); }
    int writes_started() const { return events("setup: NVM write started"); }
    int descriptions() const { return events("setup: parameter description sent"); }

    std::filesystem::path put(const std::string& name, const Bytes& bytes) {
        std::ofstream f(dir_ / name, std::ios::binary);
        f.write(reinterpret_cast<const char*>(bytes.data()),
                static_cast<std::streamsize>(bytes.size()));
        return dir_ / name;
    }
    Bytes file(const std::string& name) const {
        std::ifstream f(dir_ / name, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(f), {});
    }
    void put_profile(const json& j) { std::ofstream(dir_ / "p.json") << j.dump(); }

    // The printer's setup saved both ways, with its description.
    json read_to_files(Model m) {
        start(m);
        const CliRun r = run({"read", "--yes", "--json", "--save", "s.dmp", "--image", "s.img"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        return r.out;
    }

    std::unique_ptr<kp28::FakeSysroot> root_;
    std::unique_ptr<kp28sim::VirtualPrinter> printer_;
    std::filesystem::path dir_;
};

const char* name(Model m) {
    return m == Model::KP28Plus ? "KP28Plus" : "KP28";
}

TEST_F(SetupsCli, ShowGivesTheRowsOfEverySourceKindAsReadDoes) {
    for (Model m : {Model::KP28Plus, Model::KP28}) {
        SCOPED_TRACE(name(m));
        SetUp();
        const json read = read_to_files(m);
        const std::string model = m == Model::KP28Plus ? "kp28plus" : "kp28";
        for (const std::vector<std::string>& source : {std::vector<std::string>{"printer", "--yes"},
                                                       {"s.dmp"},
                                                       {"s.img", "--model", model}}) {
            SCOPED_TRACE(source.front());
            std::vector<std::string> args{"show", "--json"};
            args.insert(args.end(), source.begin(), source.end());
            const CliRun r = run(args);
            ASSERT_EQ(r.exit_code, 0) << r.err;
            EXPECT_EQ(r.out["parameters"], read["parameters"]);
            EXPECT_EQ(r.out["model"], name(m));
            EXPECT_EQ(r.out["nvm"], read["nvm"]);
        }
        // The text form is the read's table.
        const CliRun t = run({"show", "s.dmp"});
        EXPECT_NE(t.text.find("192.168.0.100"), std::string::npos);
        EXPECT_NE(t.text.find("editor height: 10600 twips"), std::string::npos);
    }
}

TEST_F(SetupsCli, SourcesThatAreNoSetupAreRefusedWithTheReason) {
    const json read = read_to_files(Model::KP28Plus);
    Bytes damaged = file("s.dmp");
    damaged.back() ^= 0x01;
    put("damaged.dmp", damaged);
    put("short.img", Bytes(100, 0));
    // Two whole frames, each a setup on its own.
    const Bytes frame = kp28::load_setup_frame(Model::KP28Plus, Bytes(8, 0x41));
    put("two.dmp", frame + frame);
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    for (const Case& c : {
             Case{{"show", "damaged.dmp"}, "fits the image in neither"},
             Case{{"show", "short.img"}, "neither a setup file"},
             Case{{"show", "two.dmp"}, "not one load-setup frame"},
             Case{{"show", "missing.dmp"}, "missing.dmp"},
             Case{{"show", "s.img", "--modules", "none.txt"},
                  "cannot read the parameter description"},
             Case{{"diff", "s.img", "damaged.dmp"}, "fits the image in neither"},
         }) {
        SCOPED_TRACE(c.args[1]);
        const CliRun r = run(c.args);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}

TEST_F(SetupsCli, DiffTellsRowsLooseBytesAndIdentification) {
    read_to_files(Model::KP28Plus);
    const CliRun same = run({"diff", "--json", "s.dmp", "s.img"});
    EXPECT_EQ(same.exit_code, 0) << same.err;
    EXPECT_EQ(same.out["same"], true);
    EXPECT_TRUE(same.out["rows"].empty());

    Bytes other = file("s.img");
    other[kBaud] = 0;       // Serial speed 1200
    other[kLoose] ^= 0xFF;  // outside every row
    other[kLoose + 1] ^= 0xFF;
    other[kHeader + 15] = 'Q';  // after the header text's end: shows the same
    other[0] = 'X';             // the firmware text
    put("other.img", other);
    const CliRun r = run({"diff", "--json", "s.img", "other.img"});
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_EQ(r.out["same"], false);
    EXPECT_EQ(r.out["rows"],
              json::parse(R"([{"label": "Serial speed", "row": 0, "a": "9600", "b": "1200"}])"));
    EXPECT_EQ(r.out["bytes"],
              json::parse(R"([{"from": 95, "to": 95}, {"from": 2000, "to": 2001}])"));
    ASSERT_EQ(r.out["identification"].size(), 1u);
    EXPECT_EQ(r.out["identification"][0]["field"], "firmware");

    // A KP28 image of the same bytes is another setup.
    const CliRun models = run({"diff", "s.img", "s.img", "--model", "kp28"});
    EXPECT_EQ(models.exit_code, 0) << models.err;
    EXPECT_NE(
        run({"diff", "s.dmp", "s.img", "--model", "kp28"}).text.find("model: KP28Plus | KP28"),
        std::string::npos);
}

TEST_F(SetupsCli, ApplyWithNothingToChangeSendsNothingAfterTheRead) {
    for (Model m : {Model::KP28Plus, Model::KP28}) {
        SCOPED_TRACE(name(m));
        SetUp();
        auto& p = start(m);
        ASSERT_EQ(run({"show", "printer", "--yes", "--profile", "p.json"}).exit_code, 0);
        const std::size_t before =
            p.bytes(kp28sim::LinkKind::Serial, kp28sim::Direction::ToPrinter).size();
        const CliRun r = run({"apply", "p.json", "--yes", "--json"});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out["changed"], false);
        EXPECT_EQ(r.out["verified"], false);
        EXPECT_TRUE(r.out["changes"].empty());
        EXPECT_EQ(writes_started(), 0);
        EXPECT_EQ(reads(), 2);  // the show's and the apply's
        // After the apply's read and description nothing was sent.
        const Bytes sent = p.bytes(kp28sim::LinkKind::Serial, kp28sim::Direction::ToPrinter);
        EXPECT_EQ(std::count(sent.begin() + static_cast<long>(before), sent.end(), 'w'), 0);
        for (const char* key :
             {"command", "ok", "messages", "printer", "model", "plus_model", "last_comm_error",
              "failed_operation", "commands", "status", "nvm", "check", "refused"})
            EXPECT_TRUE(r.out.contains(key)) << key;
    }
}

TEST_F(SetupsCli, ApplyWritesOnceAndChecksWhatThePrinterKept) {
    for (Model m : {Model::KP28Plus, Model::KP28}) {
        SCOPED_TRACE(name(m));
        SetUp();
        auto& p = start(m);
        Bytes want = p.nvm();
        put_profile({{"model", name(m)},
                     {"parameters", {{"Serial speed", "19200"}, {"Print density", "-3"}}},
                     {"leave", {"Header text"}}});

        const CliRun check = run({"apply", "p.json", "--yes", "--json", "--check"});
        ASSERT_EQ(check.exit_code, 0) << check.err;
        EXPECT_EQ(check.out["changed"], true);
        EXPECT_EQ(check.out["check"], true);
        EXPECT_EQ(check.out["verified"], false);
        EXPECT_EQ(check.out["changes"], json::parse(R"([
            {"label": "Serial speed", "row": 0, "from": "9600", "to": "19200"},
            {"label": "Print density", "row": 7, "from": "2", "to": "-3"}])"));
        EXPECT_EQ(writes_started(), 0);
        EXPECT_EQ(p.nvm(), want);

        const CliRun r = run({"apply", "p.json", "--yes", "--json", "--save", "after.dmp"});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out["changed"], true);
        EXPECT_EQ(r.out["verified"], true);
        EXPECT_EQ(r.out["changes"], check.out["changes"]);
        want[kBaud] = 4;
        want[kDensity] = 2;
        EXPECT_EQ(p.nvm(), want);
        // One read, one write, one check read, and one description in all.
        EXPECT_EQ(reads(), 3);
        EXPECT_EQ(writes_started(), 1);
        EXPECT_EQ(descriptions(), 2);
        EXPECT_EQ(run({"diff", "after.dmp", "printer", "--yes"}).exit_code, 0);
    }
}

TEST_F(SetupsCli, ApplyRefusesBeforeAnythingMoreIsSent) {
    // Two rows labelled "Gateway": the label alone names neither.
    std::string description = kp28sim::default_description(Model::KP28Plus);
    description.replace(description.find("Net mask"), 8, "Gateway");
    struct Case {
        json profile;
        const char* says;
    };
    for (const Case& c : {
             Case{{{"parameters", {{"No such row", "1"}}}}, "no parameter row is labelled"},
             Case{{{"parameters", {{"Gateway", "1.2.3.4"}}}}, "names 2 rows"},
             Case{{{"parameters", {{"Print density", "6"}}}}, "outside -5..5"},
             Case{{{"parameters", {{"Serial speed", "115200"}}}}, "no item"},
             Case{{{"model", "KP28"}, {"parameters", {{"Parity", "Odd"}}}},
                  "the profile is for a KP28"},
             Case{{{"parameters", {{"Parity", "Odd"}}}, {"leave", {"Parity"}}},
                  "both set and left"},
             Case{{{"parameters", {{"Parity", "Odd"}}}, {"leave", {"Nothing"}}},
                  "leave \"Nothing\""},
             Case{{{"parameters", {"Parity", "Odd"}}}, "must be an object"},
         }) {
        SCOPED_TRACE(c.says);
        SetUp();
        auto& p = start(Model::KP28Plus, {}, {}, description);
        const Bytes want = p.nvm();
        put_profile(c.profile);
        const CliRun r = run({"apply", "p.json", "--yes", "--json"});
        EXPECT_EQ(r.exit_code, 2) << r.err;
        EXPECT_EQ(r.out["ok"], false);
        ASSERT_FALSE(r.out["refused"].empty()) << r.text;
        EXPECT_NE(r.out["refused"][0].get<std::string>().find(c.says), std::string::npos)
            << r.out["refused"];
        EXPECT_EQ(writes_started(), 0);
        EXPECT_EQ(p.nvm(), want);
    }
    // An entry that cannot carry a read: refused with the same keys.
    const CliRun lan = run({"apply", "p.json", "-i", "LAN", "--json"});
    EXPECT_EQ(lan.exit_code, 2);
    EXPECT_EQ(lan.out["changed"], false);
    EXPECT_EQ(lan.out["verified"], false);
    EXPECT_EQ(lan.out["refused"].size(), 1u);
}

TEST_F(SetupsCli, ApplyReportsAPrinterThatKeepsOtherThanItEchoed) {
    kp28sim::Faults f;
    f.nvm_store_flips_byte = kParity;
    start(Model::KP28Plus, {}, f);
    put_profile({{"parameters", {{"Serial speed", "1200"}}}});
    const CliRun r = run({"apply", "p.json", "--yes", "--json"});
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_EQ(r.out["ok"], false);
    EXPECT_EQ(r.out["changed"], true);
    EXPECT_EQ(r.out["verified"], false);
    EXPECT_NE(r.out["error"].get<std::string>().find("first at offset 33"), std::string::npos)
        << r.out["error"];
    EXPECT_EQ(reads(), 2);
}

TEST_F(SetupsCli, ProfileRoundTripsFromOnePrinterToAnother) {
    for (Model m : {Model::KP28Plus, Model::KP28}) {
        SCOPED_TRACE(name(m));
        SetUp();
        start(m);
        ASSERT_EQ(run({"show", "printer", "--yes", "--profile", "p.json", "--json"}).exit_code, 0);
        ASSERT_EQ(run({"read", "--yes", "--image", "a.img"}).exit_code, 0);
        // A second printer whose parameters all differ somewhere.
        Bytes other = printer_->nvm();
        other[kBaud] = 0;
        other[kDensity] = 9;
        other[kHeader] = 'Z';
        auto& p = start(m, other);
        const CliRun r = run({"apply", "p.json", "--yes", "--json"});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out["verified"], true);
        EXPECT_EQ(r.out["changes"].size(), 3u) << r.out["changes"];
        const std::string model = m == Model::KP28Plus ? "kp28plus" : "kp28";
        const CliRun d = run({"diff", "printer", "a.img", "--yes", "--model", model});
        EXPECT_EQ(d.exit_code, 0) << d.text << d.err;
        EXPECT_EQ(p.nvm_writes(), 1);
    }
}

}  // namespace
}  // namespace setuptest
