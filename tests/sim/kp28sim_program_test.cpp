// The kp28sim program as a technician runs it: it makes its nodes in the
// sysroot it is given, says where they are (JSON here), answers on them,
// takes the operator's setup-mode command, and on SIGTERM removes what it made.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "raw_port.h"

namespace simtest {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class Program {
  public:
    explicit Program(const std::vector<std::string>& args) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            std::vector<char*> argv{const_cast<char*>(KP28SIM_PROGRAM)};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(KP28SIM_PROGRAM, argv.data());
            _exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
    }
    ~Program() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(stdin_);
        ::close(stdout_);
    }

    // The next line of output, or "" when none came in time.
    std::string line(std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto nl = buf_.find('\n');
            if (nl != std::string::npos) {
                std::string l = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                seen_.push_back(l);
                return l;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return "";
            pollfd p{stdout_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char b[1024];
            const ssize_t n = ::read(stdout_, b, sizeof b);
            if (n <= 0) return "";
            buf_.append(b, static_cast<std::size_t>(n));
        }
    }
    // Lines until one contains text; false when the output ends or time is up.
    bool wait_for(const std::string& text, std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            const std::string l = line(std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()));
            if (l.empty()) return false;
            if (l.find(text) != std::string::npos) return true;
        }
        return false;
    }
    void say(const std::string& s) {
        [[maybe_unused]] auto r = ::write(stdin_, s.data(), s.size());
    }
    void signal(int sig) { ::kill(pid_, sig); }
    // Every line read so far.
    const std::vector<std::string>& seen() const { return seen_; }
    // Exit status once the output has ended.
    int wait_exit() {
        while (!line(10s).empty()) {
        }
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

  private:
    pid_t pid_ = -1;
    int stdin_ = -1, stdout_ = -1;
    std::string buf_;
    std::vector<std::string> seen_;
};

// One line of --json output as an object; a line that is not one (invalid
// UTF-8 included: the parser is strict) fails the test.
nlohmann::json parsed(const std::string& line) {
    try {
        auto j = nlohmann::json::parse(line);
        if (j.is_object()) return j;
    } catch (const nlohmann::json::exception& e) {
        ADD_FAILURE() << e.what() << " in: " << line;
        return nlohmann::json::object();
    }
    ADD_FAILURE() << "not a JSON object: " << line;
    return nlohmann::json::object();
}

std::string text_field(const nlohmann::json& j, const std::string& key) {
    return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : "";
}

TEST(Kp28simProgram, ServesItsNodesTakesSetupModeAndCleansUpOnSigterm) {
    char tmpl[] = "/tmp/kp28simtest.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string root = std::string(tmpl) + "/root";  // made by the program
    const std::string transcript = std::string(tmpl) + "/transcript.txt";
    {
        Program prog({"--sysroot", root, "--tcp", "0", "--downtime", "100", "--json", "--serial",
                      "ttyACM0", "--cdc", "--transcript", transcript});
        const nlohmann::json info = parsed(prog.line());
        const std::string usb = text_field(info, "usb_node"),
                          serial = text_field(info, "serial_node"), tcp = text_field(info, "tcp");
        EXPECT_EQ(usb, root + "/dev/usb/lp0");
        EXPECT_EQ(serial, root + "/dev/ttyACM0");
        EXPECT_EQ(text_field(info, "parallel_node"), root + "/dev/lp0");
        EXPECT_EQ(info.value("serial_cdc_acm", false), true);
        EXPECT_TRUE(fs::is_symlink(root + "/sys/class/tty/ttyACM0/device/driver") ||
                    fs::exists(root + "/sys/class/tty/ttyACM0/device/driver"));
        ASSERT_TRUE(info.contains("tcp_port") && info["tcp_port"].is_number()) << info;
        const auto port = info["tcp_port"].get<std::uint16_t>();
        ASSERT_EQ(tcp, "127.0.0.1:" + std::to_string(port));

        RawPort u = RawPort::node(usb);
        u.write_all(kVersionQuery);
        EXPECT_EQ(u.read_n(10), frame({0x02}) + bytes_of("1.00A"));
        RawPort t = RawPort::tcp(port);
        t.write_all(kVersionQuery);
        EXPECT_EQ(t.read_n(10), frame({0x02}) + bytes_of("1.00A"));

        prog.say("setup\n");
        ASSERT_TRUE(prog.wait_for("back up in setup mode"));
        RawPort s = RawPort::node(serial, B19200);
        s.write_all("n");
        EXPECT_EQ(s.read_n(11), bytes_of("KP28plus PB"));

        prog.signal(SIGUSR2);
        ASSERT_TRUE(prog.wait_for("back up in normal mode"));

        // Faults at run time, from standard input.
        prog.say("fault --ack-byte 05\n");
        ASSERT_TRUE(prog.wait_for("faults set: --ack-byte 05"));
        RawPort u2 = RawPort::node(usb);
        u2.write_all(kEnterDll);
        const Bytes a = u2.read_n(6);
        ASSERT_EQ(a.size(), 6u);
        u2.write_all(frame({0x02, 0x00, 0x1C, a[5]}));
        EXPECT_EQ(u2.read_n(6), ack(0x1C, 0x05));
        prog.say("fault clear --stall-after 10\n");
        ASSERT_TRUE(prog.wait_for("faults set: --stall-after 10"));
        prog.say("fault clear\n");
        ASSERT_TRUE(prog.wait_for("faults set: none"));
        prog.say("fault --bogus\n");
        EXPECT_TRUE(prog.wait_for("not a fault option: --bogus"));

        prog.signal(SIGTERM);
        const int status = prog.wait_exit();
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_FALSE(fs::exists(root));
        for (const auto& l : prog.seen()) parsed(l);
    }
    std::ifstream in(transcript);
    std::string first;
    std::getline(in, first);
    EXPECT_NE(first.find("usb:lp0 in 14 14 1B 14 01 00 02"), std::string::npos) << first;
    fs::remove_all(tmpl);
}

// An event may carry any bytes: a line typed on standard input, a USB
// identifier a tool wrote, the product name. Each --json line stays valid
// JSON; UTF-8 passes as it is and every other byte reads as the Latin-1
// character of its value.
TEST(Kp28simProgram, EveryJsonLineIsValidWhateverBytesAnEventCarries) {
    struct Row {
        std::string bytes, text;
    };
    const std::vector<Row> rows = {
        {"caf\xE9", "caf\u00E9"},                // Latin-1
        {"\xC3\xA9t\xC3\xA9", "\u00E9t\u00E9"},  // UTF-8
        {"\xF0\x9F\x96\xA8", "\U0001F5A8"},      // four-byte UTF-8
        {"\xFF\xFE\x80", "\u00FF\u00FE\u0080"},  // never UTF-8
        {"\xE2\x82"
         "x",
         "\u00E2\u0082x"},                                 // cut short
        {"\xC0\xAF", "\u00C0\u00AF"},                      // overlong "/"
        {"\xED\xA0\x80", "\u00ED\u00A0\u0080"},            // a surrogate
        {"\xF4\x90\x80\x80", "\u00F4\u0090\u0080\u0080"},  // above U+10FFFF
        {std::string("a\x01\x00\x1F\"\\", 6), std::string("a\x01\x00\x1F\"\\", 6)},
    };
    char tmpl[] = "/tmp/kp28simtest.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string root = std::string(tmpl) + "/root";
    {
        Program prog({"--sysroot", root, "--tcp", "0", "--json", "--no-serial", "--no-parallel",
                      "--name", "Caf\xE9 PB U2", "--usb-id",
                      "\xB5"
                      "ID"});
        const nlohmann::json info = parsed(prog.line());
        EXPECT_EQ(text_field(info, "product_name"), "Caf\u00E9 PB U2");
        EXPECT_EQ(text_field(info, "usb_id"), "\u00B5ID");
        EXPECT_EQ(text_field(info, "serial_node"), "");
        ASSERT_TRUE(prog.wait_for("powered on"));

        RawPort u = RawPort::node(text_field(info, "usb_node"));
        u.write_all(kEnterUsbId);
        const Bytes a = u.read_n(6);
        ASSERT_EQ(a.size(), 6u);
        u.write_all(frame({0x03, 0x00, 0x1D, a[5], 0x01}) + bytes_of("M\xDCNCHEN-\xA7") + Bytes{0});
        EXPECT_EQ(u.read_n(6), ack(0x1D, a[5]));
        ASSERT_TRUE(prog.wait_for("USB identifier written"));

        for (const auto& r : rows) prog.say(r.bytes + "\n");
        prog.say("fault --silent \xE9\n");
        prog.say("quit\n");
        const int status = prog.wait_exit();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

        std::vector<std::string> events;
        for (std::size_t i = 1; i < prog.seen().size(); ++i)
            events.push_back(text_field(parsed(prog.seen()[i]), "event"));
        auto said = [&](const std::string& e) {
            return std::find(events.begin(), events.end(), e) != events.end();
        };
        EXPECT_TRUE(said("KP28Plus \"Caf\u00E9 PB U2\" firmware 1.00A powered on in normal mode"));
        EXPECT_TRUE(said("USB identifier written: M\u00DCNCHEN-\u00A7"));
        for (const auto& r : rows)
            EXPECT_TRUE(said("unknown command \"" + r.text + "\" (setup, power, fault ..., quit)"))
                << r.text;
        EXPECT_TRUE(said("not a fault option: \u00E9"));
        EXPECT_EQ(events.back(), "stopped");
    }
    fs::remove_all(tmpl);
}

// Several printers on one machine, each in its own sysroot and on its own
// loopback port: one the system chose (--tcp 0), or the same number on
// another loopback address. Each says in its nodes where it listens.
TEST(Kp28simProgram, SeveralPrintersListenOnLoopbackPortsOfTheirOwn) {
    char tmpl[] = "/tmp/kp28simtest.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    auto start = [&](const std::string& name, std::vector<std::string> args) {
        args.insert(args.begin(), {"--sysroot", dir + "/" + name, "--json", "--no-serial"});
        return std::make_unique<Program>(args);
    };
    struct Printer {
        std::string address, version;
        std::unique_ptr<Program> prog;
        std::uint16_t port = 0;
    };
    std::vector<Printer> printers;
    printers.push_back({"127.0.0.1", "1.00A", start("a", {"--tcp", "0"})});
    printers.push_back({"127.0.0.1", "2.00B", start("b", {"--tcp", "0", "--fw-version", "2.00B"})});
    for (auto& p : printers) {
        const nlohmann::json info = parsed(p.prog->line());
        ASSERT_TRUE(info.contains("tcp_port") && info["tcp_port"].is_number()) << info;
        p.port = info["tcp_port"].get<std::uint16_t>();
        EXPECT_NE(p.port, 0);
        EXPECT_EQ(text_field(info, "tcp"), p.address + ":" + std::to_string(p.port));
    }
    EXPECT_NE(printers[0].port, printers[1].port);
    const std::string taken = std::to_string(printers[0].port);
    printers.push_back(
        {"127.0.0.2", "3.00C",
         start("c", {"--tcp", taken, "--tcp-address", "127.0.0.2", "--fw-version", "3.00C"})});
    const nlohmann::json info = parsed(printers[2].prog->line());
    EXPECT_EQ(text_field(info, "tcp"), "127.0.0.2:" + taken);
    printers[2].port = printers[0].port;

    for (const auto& p : printers) {
        RawPort t = RawPort::tcp(p.port, p.address);
        t.write_all(kVersionQuery);
        EXPECT_EQ(t.read_n(10), frame({0x02}) + bytes_of(p.version)) << p.address << ":" << p.port;
    }

    // A port that is taken on the same address: the printer cannot start.
    Program busy({"--sysroot", dir + "/d", "--tcp", taken});
    const int status = busy.wait_exit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;

    Program none({"--sysroot", dir + "/e", "--json", "--no-tcp"});
    const nlohmann::json off = parsed(none.line());
    EXPECT_EQ(text_field(off, "tcp"), "");
    EXPECT_TRUE(off.contains("tcp_port") && off["tcp_port"].is_null()) << off;
    none.say("quit\n");
    EXPECT_EQ(none.wait_exit(), 0);

    for (auto& p : printers) {
        p.prog->signal(SIGTERM);
        p.prog->wait_exit();
    }
    fs::remove_all(dir);
}

TEST(Kp28simProgram, RefusesBadOptionsWithUsage) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--model", "KP99"},
                                                 {"--fw-version", "1.0"},
                                                 {"--serial", "../x"},
                                                 {"--bogus"},
                                                 {"--tcp-address", "10.0.0.1"},
                                                 {"--usb-pid", "XYZ"},
                                                 {"--stall-after", "-1"}}) {
        Program prog(args);
        const int status = prog.wait_exit();
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_NE(WEXITSTATUS(status), 0) << args[0];
    }
}

}  // namespace
}  // namespace simtest
