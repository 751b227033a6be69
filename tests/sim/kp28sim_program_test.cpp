// The kp28sim program as a technician runs it: it makes its nodes in the
// sysroot it is given, says where they are (JSON here), answers on them,
// takes the operator's setup-mode command, and on SIGTERM removes what it made.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>

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
};

// The value of a string field of a flat JSON object without escapes.
std::string json_field(const std::string& json, const std::string& key) {
    const std::string tag = "\"" + key + "\":\"";
    const auto at = json.find(tag);
    if (at == std::string::npos) return "";
    const auto from = at + tag.size();
    const auto to = json.find('"', from);
    return to == std::string::npos ? "" : json.substr(from, to - from);
}

TEST(Kp28simProgram, ServesItsNodesTakesSetupModeAndCleansUpOnSigterm) {
    char tmpl[] = "/tmp/kp28simtest.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string root = std::string(tmpl) + "/root";  // made by the program
    const std::string transcript = std::string(tmpl) + "/transcript.txt";
    {
        Program prog({"--sysroot", root, "--tcp", "0", "--downtime", "100", "--json", "--serial",
                      "ttyACM0", "--cdc", "--transcript", transcript});
        const std::string info = prog.line();
        ASSERT_FALSE(info.empty());
        const std::string usb = json_field(info, "usb_node"),
                          serial = json_field(info, "serial_node"), tcp = json_field(info, "tcp");
        EXPECT_EQ(usb, root + "/dev/usb/lp0");
        EXPECT_EQ(serial, root + "/dev/ttyACM0");
        EXPECT_EQ(json_field(info, "parallel_node"), root + "/dev/lp0");
        EXPECT_TRUE(fs::is_symlink(root + "/sys/class/tty/ttyACM0/device/driver") ||
                    fs::exists(root + "/sys/class/tty/ttyACM0/device/driver"));
        ASSERT_EQ(tcp.rfind("127.0.0.1:", 0), 0u) << info;

        RawPort u = RawPort::node(usb);
        u.write_all(kVersionQuery);
        EXPECT_EQ(u.read_n(10), frame({0x02}) + bytes_of("1.00A"));
        RawPort t = RawPort::tcp(static_cast<std::uint16_t>(std::stoi(tcp.substr(10))));
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
    }
    std::ifstream in(transcript);
    std::string first;
    std::getline(in, first);
    EXPECT_NE(first.find("usb:lp0 in 14 14 1B 14 01 00 02"), std::string::npos) << first;
    fs::remove_all(tmpl);
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
