// kp28setup send to several network printers, as a child process against
// virtual printers and raw loopback sockets that misbehave: good printers get
// exactly the file, a refusing, a silent and a resetting one are reported
// with their reasons within their own limits, the address list is checked
// before anything is sent, and a stop leaves no printer half-written.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <kp28/fake_sysroot.h>
#include <kp28/nvm_crc.h>
#include <kp28/protocol/setup.h>
#include <kp28sim/virtual_printer.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "cli_run.h"

namespace setuptest {
namespace {

using namespace std::chrono_literals;
using kp28sim::Direction;
using kp28sim::LinkKind;
using nlohmann::json;
namespace fs = std::filesystem;

Bytes whole_setup_file() {
    const Bytes nvm = kp28sim::default_nvm(kp28sim::Model::KP28Plus);
    return kp28::load_setup_frame(nvm, kp28::nvm_crc(nvm, nvm.size(), true));
}

// A loopback listener of the test's own: it never accepts (the kernel still
// completes connections and takes bytes into its buffers), or it accepts,
// reads `reset_after` bytes and resets the connection.
class RawPrinter {
  public:
    explicit RawPrinter(std::optional<std::size_t> reset_after = std::nullopt) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(fd_, 8), 0);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        if (reset_after) thread_ = std::thread([this, n = *reset_after] { reset_one(n); });
    }
    ~RawPrinter() {
        if (thread_.joinable()) thread_.join();
        ::close(fd_);
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    // Whether a connection waits to be accepted, within `limit`.
    bool connection_pending(std::chrono::milliseconds limit) const {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(limit.count())) == 1;
    }

  private:
    void reset_one(std::size_t n) {
        if (!connection_pending(20s)) return;
        const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return;
        timeval tv{5, 0};
        ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::vector<std::uint8_t> buf(n);
        std::size_t got = 0;
        while (got < n) {
            const ssize_t r = ::recv(c, buf.data() + got, n - got, 0);
            if (r <= 0) break;
            got += static_cast<std::size_t>(r);
        }
        // A close with linger 0 resets the connection, as a printer that
        // drops it mid-file does.
        linger l{1, 0};
        ::setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(c);
    }

    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

// A loopback port that nothing listens on.
std::string closed_address() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
}

class Kp28setupMultiSend : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::path(root_.root()) / "work";
        fs::create_directories(dir_);
        write("s.dmp", file_);
        ::mkfifo((dir_ / "fifo").c_str(), 0600);
    }

    // A TCP-only virtual printer on a port of its own.
    kp28sim::VirtualPrinter& printer(std::optional<std::size_t> bytes_per_second = {}) {
        kp28sim::PrinterConfig c;
        c.usb_lp.reset();
        c.serial.reset();
        c.parallel_lp.reset();
        c.faults.tcp_bytes_per_second = bytes_per_second;
        printers_.push_back(std::make_unique<kp28sim::VirtualPrinter>(root_, c));
        printers_.back()->start();
        return *printers_.back();
    }
    static std::string address(const kp28sim::VirtualPrinter& p) {
        return "127.0.0.1:" + std::to_string(p.tcp_port());
    }
    void write(const std::string& name, const Bytes& bytes) {
        std::ofstream(dir_ / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    void write_text(const std::string& name, const std::string& text) {
        std::ofstream(dir_ / name) << text;
    }
    CliRun run(std::vector<std::string> args, const fwtest::ChildOptions& options = {},
               const std::string& write_ms = "1500") {
        return run_kp28setup(
            std::move(args),
            {{"KP28SETUP_CONNECT_TIMEOUT_MS", "1500"}, {"KP28SETUP_WRITE_TIMEOUT_MS", write_ms}},
            root_.root(), dir_.string(), options);
    }

    kp28::FakeSysroot root_;
    fs::path dir_;
    const Bytes file_ = whole_setup_file();
    std::vector<std::unique_ptr<kp28sim::VirtualPrinter>> printers_;
};

TEST_F(Kp28setupMultiSend, GoodPrintersTakeTheFileWhileFaultyOnesFailWithinTheirLimits) {
    auto& fast1 = printer();
    auto& fast2 = printer();
    // Reads the file over about half a second and closes only then.
    auto& slow = printer(4000);
    RawPrinter silent;
    RawPrinter resets(1000);
    const std::string refused = closed_address();

    const CliRun r = run({"send", "s.dmp", "--json", "-i", "LAN", "--ip", address(fast1), "--ip",
                          refused, "--ip", address(slow), "--ip", silent.address(), "--ip",
                          resets.address(), "--ip", address(fast2)});
    EXPECT_EQ(r.exit_code, 1) << r.err;
    ASSERT_TRUE(r.out.is_object()) << r.text << r.err;
    const json& j = r.out;
    EXPECT_EQ(j["ok"], false);
    EXPECT_EQ(j["total"], 6);
    EXPECT_EQ(j["took"], 3);
    EXPECT_EQ(j["failed"], 3);
    EXPECT_EQ(j["retry"], json({refused, silent.address(), resets.address()}));
    ASSERT_EQ(j["printers"].size(), 6u);

    struct Expect {
        std::size_t index;
        bool ok;
        std::vector<std::string> reasons;  // one of them is in the reason
    };
    const std::vector<Expect> table{
        {0, true, {}},
        {1, false, {"Connection refused"}},
        {2, true, {}},
        {3, false, {"did not close the connection within 1500 ms"}},
        {4, false, {"Connection reset by peer", "Broken pipe"}},
        {5, true, {}},
    };
    for (const auto& e : table) {
        const json& p = j["printers"][e.index];
        SCOPED_TRACE(p.dump());
        EXPECT_EQ(p["address"], "127.0.0.1");
        EXPECT_EQ(p["ok"], e.ok);
        if (e.ok) {
            EXPECT_EQ(p["bytes_sent"], file_.size());
            EXPECT_TRUE(p["reason"].is_null());
        } else {
            const std::string reason = p["reason"];
            bool found = false;
            for (const auto& want : e.reasons) found |= reason.find(want) != std::string::npos;
            EXPECT_TRUE(found);
        }
    }
    // The silent printer holds its own connection for the write limit, and
    // no one else's.
    EXPECT_GE(j["printers"][3]["seconds"].get<double>(), 1.4);
    EXPECT_EQ(j["printers"][3]["bytes_sent"], file_.size());
    // Taken means read: the paced printer's close comes after its reading.
    EXPECT_GE(j["printers"][2]["seconds"].get<double>(), 0.4);
    for (std::size_t i : {0u, 5u})
        EXPECT_LT(j["printers"][i]["seconds"].get<double>(),
                  j["printers"][3]["seconds"].get<double>());
    for (auto* p : {&fast1, &fast2, &slow})
        EXPECT_EQ(p->bytes(LinkKind::Tcp, Direction::ToPrinter), file_);
}

TEST_F(Kp28setupMultiSend, HostsFileWithCommentsAndARepeatedPrinterInPlainText) {
    auto& a = printer();
    auto& b = printer();
    write_text("hosts.txt", "# bench 3\n\n  " + address(a) + "   # left\r\n" + address(b) +
                                "\n127.0.0.1:" + std::to_string(a.tcp_port()) + "\n");
    const CliRun r = run({"send", "s.dmp", "--hosts", "hosts.txt", "--parallel", "1"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.text.find(address(a) + ": 2059 bytes in "), std::string::npos) << r.text;
    EXPECT_NE(r.text.find(address(b) + ": 2059 bytes in "), std::string::npos) << r.text;
    EXPECT_NE(r.text.find("2 of 2 printers took the file\nresult: done\n"), std::string::npos)
        << r.text;
    EXPECT_NE(r.err.find("hosts.txt:5) is listed before (hosts.txt:3)"), std::string::npos)
        << r.err;
    // Sent once, not twice.
    EXPECT_EQ(a.bytes(LinkKind::Tcp, Direction::ToPrinter), file_);
    EXPECT_EQ(b.bytes(LinkKind::Tcp, Direction::ToPrinter), file_);
}

TEST_F(Kp28setupMultiSend, BadAddressListsAndFilesAreRefusedBeforeAnythingIsSent) {
    auto& p = printer();
    const std::string good = address(p);
    write("bad.dmp", Bytes{0x14, 0x14, 0x1B, 0x14, 0x10, 0x00, 0x0D});
    struct Case {
        std::string name;
        std::string hosts;  // written to hosts.txt when not empty
        std::vector<std::string> args;
        int exit_code;
        std::string error;
    };
    const std::vector<Case> cases{
        {"port out of range",
         "# ok\n" + good + "\n127.0.0.1:99999\n",
         {"--hosts", "hosts.txt"},
         2,
         "hosts.txt:3: \"127.0.0.1:99999\" is not ADDR[:PORT]"},
        {"a name",
         good + "\nprinter7.lan\n",
         {"--hosts", "hosts.txt"},
         2,
         "hosts.txt:2: \"printer7.lan\" is not a numeric IPv4 or IPv6 address"},
        {"two on a line",
         good + " " + good + "\n",
         {"--hosts", "hosts.txt"},
         2,
         "hosts.txt:1: one address a line"},
        {"only comments",
         "# none yet\n\n",
         {"--hosts", "hosts.txt"},
         2,
         "no printer address in it"},
        {"no such file", "", {"--hosts", "missing.txt"}, 2, "--hosts missing.txt: No such file"},
        {"a FIFO", "", {"--hosts", "fifo"}, 2, "--hosts fifo: not a regular file"},
        {"bad --ip", "", {"--ip", good, "--ip", "10.0.0.1:0"}, 2, "--ip: \"10.0.0.1:0\""},
        {"another entry", "", {"--ip", good, "--ip", good, "-i", "COM1"}, 2, "use -i LAN"},
        {"not a setup file", "", {"--ip", good, "--ip", good, "--file=bad.dmp"}, 1, "bad.dmp: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.hosts.empty()) write_text("hosts.txt", c.hosts);
        std::vector<std::string> args{"send", "--json"};
        bool file_given = false;
        for (const auto& a : c.args) {
            if (a.rfind("--file=", 0) == 0) {
                args.push_back(a.substr(7));
                file_given = true;
            } else {
                args.push_back(a);
            }
        }
        if (!file_given) args.push_back("s.dmp");
        const CliRun r = run(args);
        EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
        ASSERT_TRUE(r.out.is_object()) << r.text;
        EXPECT_EQ(r.out["ok"], false);
        EXPECT_NE(r.out["error"].get<std::string>().find(c.error), std::string::npos);
    }
    {
        SCOPED_TRACE("--parallel 0");
        const CliRun r = run({"send", "s.dmp", "--ip", good, "--ip", good, "--parallel", "0"});
        EXPECT_EQ(r.exit_code, 2);
    }
    EXPECT_TRUE(p.bytes(LinkKind::Tcp, Direction::ToPrinter).empty());
    for (const auto& e : p.events()) EXPECT_EQ(e.find("accepted"), std::string::npos) << e;
}

TEST_F(Kp28setupMultiSend, StopFinishesTheFileGoingOutAndStartsNoOther) {
    RawPrinter silent;
    auto& a = printer();
    auto& b = printer();
    fwtest::ChildOptions o;
    // Once the silent printer has the connection (and soon the whole file),
    // the operator presses Ctrl-C.
    o.while_running = [&](pid_t pid) {
        if (silent.connection_pending(20s)) ::kill(pid, SIGINT);
    };
    const CliRun r = run({"send", "s.dmp", "--json", "--parallel", "1", "--ip", silent.address(),
                          "--ip", address(a), "--ip", address(b)},
                         o, "20000");
    EXPECT_EQ(r.exit_code, 1) << r.err;
    ASSERT_TRUE(r.out.is_object()) << r.text << r.err;
    EXPECT_EQ(r.out["interrupted"], "SIGINT");
    EXPECT_EQ(r.out["took"], 0);
    const json& first = r.out["printers"][0];
    EXPECT_EQ(first["bytes_sent"], file_.size());
    EXPECT_NE(first["reason"].get<std::string>().find("interrupted after the whole file"),
              std::string::npos);
    for (std::size_t i : {1u, 2u}) {
        EXPECT_EQ(r.out["printers"][i]["bytes_sent"], 0);
        EXPECT_EQ(r.out["printers"][i]["reason"], "not sent: interrupted");
    }
    EXPECT_EQ(r.out["retry"].size(), 3u);
    // Well before the 20 s the silent printer could have held it.
    EXPECT_LT(r.seconds, 10);
    EXPECT_TRUE(a.bytes(LinkKind::Tcp, Direction::ToPrinter).empty());
    EXPECT_TRUE(b.bytes(LinkKind::Tcp, Direction::ToPrinter).empty());
}

}  // namespace
}  // namespace setuptest
