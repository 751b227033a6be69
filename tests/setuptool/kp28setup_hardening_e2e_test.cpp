// kp28setup as an unlucky or hostile user meets it: signals in the middle of
// a transfer, a printer that vanishes, a printer that keeps talking, files
// that are no setup files, a file-size limit, a link at modules.txt, an
// updater child left behind. Each case says what the printer holds and which
// files and processes are left afterwards.
#include <gtest/gtest.h>
#include <kp28/fake_sysroot.h>
#include <kp28/nvm_crc.h>
#include <kp28sim/virtual_printer.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "cli_run.h"
#include "line_printer.h"

namespace setuptest {
namespace {

using namespace std::chrono_literals;
using kp28sim::Direction;
using kp28sim::LinkKind;
using kp28sim::Model;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

std::string file_text(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

bool has_text(const CliRun& r, const std::string& part) {
    for (const auto& t : r.texts())
        if (t.find(part) != std::string::npos) return true;
    return false;
}

// The files a run left in a folder besides those named.
std::vector<std::string> other_files(const fs::path& dir, std::set<std::string> named) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir))
        if (!named.count(e.path().filename().string())) out.push_back(e.path().filename());
    return out;
}

class Hardening : public ::testing::Test {
  protected:
    void SetUp() override { fresh_root(); }
    void fresh_root() {
        printer_.reset();
        root_ = std::make_unique<kp28::FakeSysroot>();
        dir_ = fs::path(root_->root()) / "work";
        fs::create_directories(dir_);
    }
    kp28sim::VirtualPrinter& start(Model model, bool setup_mode, kp28sim::Faults faults = {},
                                   std::string description = {}) {
        kp28sim::PrinterConfig c;
        c.model = model;
        c.start_in_setup_mode = setup_mode;
        c.parallel_lp.reset();
        c.tcp_port.reset();
        c.faults = faults;
        c.description = std::move(description);
        printer_ = std::make_unique<kp28sim::VirtualPrinter>(*root_, c);
        printer_->start();
        return *printer_;
    }
    CliRun run(std::vector<std::string> args, std::map<std::string, std::string> env = {},
               const fwtest::ChildOptions& options = {}, std::vector<std::string> wrapper = {}) {
        return run_kp28setup(std::move(args), std::move(env), root_->root(), dir_.string(), options,
                             std::move(wrapper));
    }
    // A KP28Plus in setup mode played byte by byte; `hook` sees every byte
    // first and may answer instead (nullopt: the usual answer).
    using Hook = std::function<std::optional<Bytes>(std::uint8_t, std::size_t w_byte)>;
    std::unique_ptr<LinePrinter> line_printer(Hook hook, std::string description = "Z\t\r\n") {
        auto image = std::make_shared<Bytes>(2048, 0x42);
        auto w_left = std::make_shared<std::size_t>(0);
        return std::make_unique<LinePrinter>(
            *root_, "ttyS0", [=](std::uint8_t b, unsigned) -> Bytes {
                const auto crc = kp28::nvm_crc(*image, 2048, true);
                const std::size_t w_byte = *w_left ? 2048 + 4 - *w_left + 1 : 0;
                if (auto own = hook(b, w_byte)) return *own;
                if (*w_left) return --*w_left == 0 ? Bytes(crc.begin(), crc.end()) : Bytes{};
                if (b == 'n') return letters("KP28plus   ");
                if (b == 'r') return Bytes{0x00, 0x08} + *image + Bytes(crc.begin(), crc.end());
                if (b == 'm') return letters(description);
                if (b == 'w') *w_left = 2048 + 4;
                return {};
            });
    }

    std::unique_ptr<kp28::FakeSysroot> root_;
    std::unique_ptr<kp28sim::VirtualPrinter> printer_;
    fs::path dir_;
};

// Signals the child once `ready` holds (or gives up after 20 s).
fwtest::ChildOptions signal_when(int sig, std::function<bool()> ready) {
    fwtest::ChildOptions o;
    o.while_running = [sig, ready](pid_t pid) {
        for (int i = 0; i < 2000 && !ready(); ++i) std::this_thread::sleep_for(10ms);
        ::kill(pid, sig);
    };
    return o;
}

TEST_F(Hardening, SignalInATransferTakesEffectAfterItsLastByte) {
    // The serial write: the signal comes as the printer reads "w".
    {
        std::atomic<pid_t> child{0};
        auto lp = line_printer([&](std::uint8_t b, std::size_t w_byte) -> std::optional<Bytes> {
            if (b == 'w' && w_byte == 0) ::kill(child.load(), SIGTERM);
            return std::nullopt;
        });
        fwtest::ChildOptions o;
        o.while_running = [&](pid_t pid) { child = pid; };
        const CliRun r = run({"write", "--yes", "--json", "--save", "w.dmp"}, {}, o);
        EXPECT_EQ(r.exit_code, 1) << r.err;
        EXPECT_EQ(r.out["interrupted"], "SIGTERM");
        EXPECT_FALSE(has_text(r, "COMM error")) << r.out.dump();
        // "n", "r", "m", then "w", the whole image and its checksum.
        EXPECT_EQ(lp->received().size(), 3 + 1 + 2048 + 4u);
    }
    // A setup file over the USB library: 100 ms between its pieces.
    {
        fresh_root();
        auto& p = start(Model::KP28Plus, false);
        const Bytes image(2048, 0x24);
        const auto crc = kp28::nvm_crc(image, 2048, true);
        const Bytes frame =
            Bytes{0x14, 0x14, 0x1B, 0x14, 0x05, 0x08, 0x0D} + image + Bytes(crc.begin(), crc.end());
        std::ofstream(dir_ / "s.dmp", std::ios::binary)
            .write(reinterpret_cast<const char*>(frame.data()), std::streamsize(frame.size()));
        const CliRun r = run({"send", "s.dmp", "-i", "USB", "--json"}, {}, signal_when(SIGINT, [&] {
                                 return !p.bytes(LinkKind::Usb, Direction::ToPrinter).empty();
                             }));
        EXPECT_EQ(r.exit_code, 1) << r.err;
        EXPECT_EQ(r.out["interrupted"], "SIGINT");
        EXPECT_TRUE(p.wait_until([&] { return p.setup_frames_applied() == 1; }, 5s));
        EXPECT_EQ(p.bytes(LinkKind::Usb, Direction::ToPrinter), frame);
    }
}

TEST_F(Hardening, SignalWhileWaitingForTheLineEndsAtOnce) {
    // The printer takes "r" and says nothing; the limits are long.
    auto lp = line_printer([](std::uint8_t b, std::size_t) -> std::optional<Bytes> {
        if (b == 'r') return Bytes{};
        return std::nullopt;
    });
    const CliRun r = run({"read", "--yes", "--json"}, {{"KP28SETUP_READ_TIMEOUT_MS", "20000"}},
                         signal_when(SIGHUP, [&] { return lp->received().size() >= 2; }));
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_EQ(r.out["interrupted"], "SIGHUP");
    EXPECT_LT(r.seconds, 5);
}

TEST_F(Hardening, VanishedPrinterIsReportedByTheOperation) {
    struct Case {
        const char* name;
        const char* command;
        char cut_at;  // the letter after which the port hangs up
        const char* report;
    };
    for (const Case& c :
         {Case{"mid-read", "read", 'r', "COMM error(): NVM not red"},
          Case{"mid-description", "read", 'm', "parameter description not received"},
          Case{"mid-write", "write", 'w', "COMM error(): SETUP not saved"}}) {
        SCOPED_TRACE(c.name);
        fresh_root();
        // Set once the printer runs; read on its own thread.
        std::atomic<LinePrinter*> self{nullptr};
        auto lp = line_printer([&, c](std::uint8_t b, std::size_t w_byte) -> std::optional<Bytes> {
            if (b != static_cast<std::uint8_t>(c.cut_at) || w_byte != 0) return std::nullopt;
            // Part of the answer, then the cable is pulled.
            Bytes part;
            if (b == 'm') part = letters("T\tGeneral\t\r\nS\tName\t8\t40\t\r\n");
            if (b == 'r') part = Bytes{0x00, 0x08} + Bytes(100, 0x42);
            if (!part.empty() && ::write(self.load()->pty().master(), part.data(), part.size()) < 0)
                return Bytes{};
            ::usleep(100000);
            self.load()->pty().hang_up();
            return Bytes{};
        });
        self = lp.get();
        const CliRun r = run({c.command, "--yes", "--json", "--save", "x.dmp"});
        EXPECT_EQ(r.exit_code, 1) << r.err;
        ASSERT_TRUE(r.out.is_object()) << r.text << r.err;
        EXPECT_TRUE(has_text(r, c.report)) << r.out["messages"].dump();
        if (c.cut_at == 'r') {
            EXPECT_EQ(r.out["commands"]["Write NVM"], false);
        }
        EXPECT_FALSE(fs::exists(dir_ / "x.dmp"));
    }
}

TEST_F(Hardening, DescriptionLeftoversAreNotTakenForTheEcho) {
    // The description breaks off in a line longer than any record, and the
    // printer goes on sending it; the write that follows still finds its echo.
    const std::string endless = "S\tName\t8\t40\t\r\n" + std::string(20000, 'x');
    auto lp = line_printer([](std::uint8_t, std::size_t) { return std::nullopt; }, endless);
    const CliRun r = run({"write", "--yes", "--json", "--save", "w.dmp"});
    EXPECT_EQ(r.exit_code, 0) << r.out.dump();
    EXPECT_FALSE(has_text(r, "CRC error"));
    EXPECT_TRUE(has_text(r, "parameter description not received"));
    EXPECT_EQ(fs::file_size(dir_ / "w.dmp"), 2059u);
}

TEST_F(Hardening, EndlessDescriptionEndsAtItsTimeLimit) {
    // 1920 bytes a second and no end line: it would last minutes.
    std::string endless;
    while (endless.size() < 200000) endless += "T\tMore\t\r\n";
    kp28sim::Faults paced;
    paced.pace_line_rate = true;
    fs::path old = dir_ / "modules.txt";
    std::ofstream(old) << "Z\t\r\n";
    start(Model::KP28Plus, true, paced, endless);
    const CliRun r =
        run({"read", "--yes", "--json"}, {{"KP28SETUP_DESCRIPTION_TIMEOUT_MS", "2000"}});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(has_text(r, "no end line within 2000 ms")) << r.out["messages"].dump();
    EXPECT_LT(r.seconds, 15);
    // The description that ended badly left the last good one in place.
    EXPECT_EQ(file_text(old), "Z\t\r\n");
}

TEST_F(Hardening, FilesAreWrittenWholeOrNotAtAll) {
    // modules.txt as a link: replaced, its target untouched.
    auto& p = start(Model::KP28Plus, true);
    std::ofstream(dir_ / "target.txt") << "mine";
    fs::create_symlink("target.txt", dir_ / "modules.txt");
    CliRun r = run({"read", "--yes", "--json"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(file_text(dir_ / "target.txt"), "mine");
    EXPECT_FALSE(fs::is_symlink(dir_ / "modules.txt"));
    EXPECT_EQ(file_text(dir_ / "modules.txt"), kp28sim::default_description(Model::KP28Plus));
    // A save stopped by a file-size limit leaves the old setup file whole
    // and no temporary file behind.
    const std::string old(3000, 'o');
    std::ofstream(dir_ / "old.dmp") << old;
    ASSERT_TRUE(p.wait_until([&] { return p.in_setup_mode(); }, 5s));
    r = run({"read", "--yes", "--json", "--save", "old.dmp"}, {}, {},
            {"/usr/bin/prlimit", "--fsize=1024", "--"});
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_TRUE(has_text(r, "the setup file old.dmp could not be written")) << r.out.dump();
    EXPECT_EQ(file_text(dir_ / "old.dmp"), old);
    EXPECT_EQ(other_files(dir_, {"old.dmp", "modules.txt", "target.txt"}),
              std::vector<std::string>{});
    // An empty path names no file: a usage error, not a silent skip.
    EXPECT_EQ(run({"read", "--save", ""}).exit_code, 2);
}

TEST_F(Hardening, SendRefusesWhatIsNoSetupFileBeforeAnyLink) {
    auto& p = start(Model::KP28Plus, false);
    fs::create_directory(dir_ / "folder.dmp");
    ::mkfifo((dir_ / "fifo.dmp").c_str(), 0600);
    std::ofstream(dir_ / "empty.dmp");
    std::ofstream(dir_ / "cut.dmp", std::ios::binary)
        << std::string("\x14\x14\x1B\x14\x05\x08\x0D", 7) << std::string(100, 'a');
    std::ofstream(dir_ / "big.dmp") << std::string(3000, 'b');
    struct Case {
        std::string file;
        const char* why;
    };
    const long baseline_kib = run({"interfaces"}).max_rss_kib;
    ASSERT_GT(baseline_kib, 0);
    for (const Case& c : {Case{"folder.dmp", "a folder"}, Case{"fifo.dmp", "not a regular file"},
                          Case{"/dev/zero", "not a regular file"}, Case{"empty.dmp", "it is empty"},
                          Case{"cut.dmp", "says 2053 bytes follow, the file has 101"},
                          Case{"big.dmp", "more than the 2059"}}) {
        SCOPED_TRACE(c.file);
        const CliRun r = run({"send", c.file, "-i", "USB", "--json"});
        EXPECT_EQ(r.exit_code, 1);
        ASSERT_TRUE(r.out.is_object()) << r.err;
        EXPECT_TRUE(has_text(r, c.why)) << r.out["messages"].dump();
        // Nothing of the file is held beyond what a run needs anyway.
        EXPECT_LT(r.max_rss_kib, baseline_kib + 16 * 1024);
    }
    EXPECT_TRUE(p.bytes(LinkKind::Usb, Direction::ToPrinter).empty());
}

TEST_F(Hardening, Kp28IsRestoredAtTheSpeedEachByteWasWrittenFor) {
    auto& p = start(Model::KP28, true);
    const CliRun r = run({"restore", "--yes", "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.out.dump();
    EXPECT_EQ(p.nvm(), kp28sim::default_nvm(Model::KP28));
    Bytes at_setup_speed;
    for (const auto& e : p.transcript())
        if (e.direction == Direction::ToPrinter && e.speed == 19200)
            at_setup_speed.insert(at_setup_speed.end(), e.bytes.begin(), e.bytes.end());
    // The model query, "R", then the read (the model is known by then).
    EXPECT_EQ(at_setup_speed, letters("nRrm"));
}

TEST_F(Hardening, EndedRunEndsItsUpdaterAndRemovesItsRunDirectory) {
    const fs::path runtime = dir_ / "runtime";
    fs::create_directory(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    const fs::path updater = dir_ / "slow-updater";
    std::ofstream(updater) << "#!/bin/sh\necho $$ > " << (dir_ / "updater.pid").string()
                           << "\nexec sleep 60\n";
    fs::permissions(updater, fs::perms::owner_all);
    const CliRun r =
        run({"reboot", "-i", "USB", "--json"},
            {{"KP28FWUPDATE", updater.string()}, {"XDG_RUNTIME_DIR", runtime.string()}},
            signal_when(SIGTERM, [&] { return fs::exists(dir_ / "updater.pid"); }));
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_EQ(r.out["interrupted"], "SIGTERM");
    EXPECT_LT(r.seconds, 15);
    const pid_t child = std::stoi(file_text(dir_ / "updater.pid"));
    EXPECT_EQ(::kill(child, 0), -1) << "the updater still runs";
    EXPECT_TRUE(fs::is_empty(runtime));
}

}  // namespace
}  // namespace setuptest
