// The termios port against real pseudo-terminals: the speed and framing the
// other end sees, reads that wait in poll() and give up at their limit, writes
// that arrive whole, the drain before a close, and the port errors.
#include <gtest/gtest.h>
#include <kp28/fake_sysroot.h>
#include <kp28setup/serial_port_posix.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

namespace setuptest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kp28setup::CommError;
using kp28setup::PosixSerialPort;

struct PtyPort : ::testing::Test {
    kp28::PtyEndpoint pty;
    PosixSerialPort port{[this](int com) -> std::optional<std::string> {
        if (com == 3) return pty.slave_path();
        return std::nullopt;
    }};

    termios other_end() {
        termios t{};
        EXPECT_EQ(::tcgetattr(pty.master(), &t), 0);
        return t;
    }
    std::vector<std::uint8_t> read_master(std::size_t n, std::chrono::milliseconds limit) {
        std::vector<std::uint8_t> out;
        const auto deadline = Clock::now() + limit;
        while (out.size() < n && Clock::now() < deadline) {
            pollfd p{pty.master(), POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            std::uint8_t buf[4096];
            const ssize_t r = ::read(pty.master(), buf, sizeof buf);
            if (r > 0) out.insert(out.end(), buf, buf + r);
        }
        return out;
    }
    void write_master(const std::vector<std::uint8_t>& b) {
        ASSERT_EQ(::write(pty.master(), b.data(), b.size()), static_cast<ssize_t>(b.size()));
    }
};

double thread_cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

struct SpeedCase {
    const char* settings;
    speed_t speed;
};

TEST_F(PtyPort, OtherEndSeesRaw8N1AtEachSpeed) {
    port.set_port_number(3);
    port.set_settings("9600,n,8,1");
    port.open();
    for (const SpeedCase c : {SpeedCase{"19200,n,8,1", B19200}, SpeedCase{"9600,n,8,1", B9600},
                              SpeedCase{"115200,n,8,1", B115200}}) {
        SCOPED_TRACE(c.settings);
        // Close, set, open, as the operations do; and a change while open.
        port.close();
        port.set_settings(c.settings);
        port.open();
        termios t = other_end();
        EXPECT_EQ(cfgetospeed(&t), c.speed);
        EXPECT_EQ(cfgetispeed(&t), c.speed);
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(t.c_iflag & (IXON | ICRNL), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
    }
    port.set_settings("19200,n,8,1");
    termios t = other_end();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
}

TEST_F(PtyPort, ReadGivesUpAtItsLimitWithoutSpinning) {
    port.set_port_number(3);
    port.open();
    const double cpu0 = thread_cpu_ms();
    const auto t0 = Clock::now();
    EXPECT_EQ(port.read_byte(300ms), std::nullopt);
    const auto waited = Clock::now() - t0;
    EXPECT_GE(waited, 290ms);
    EXPECT_LT(waited, 1000ms);
    EXPECT_LT(thread_cpu_ms() - cpu0, 20.0);
    EXPECT_EQ(port.read_now(), std::nullopt);
}

TEST_F(PtyPort, ReadHandsOverALateByteAndKeepsTheRestForLaterReads) {
    port.set_port_number(3);
    port.open();
    std::thread late([this] {
        std::this_thread::sleep_for(100ms);
        write_master({0xFF, 0x01, 0x02});
    });
    const auto t0 = Clock::now();
    const auto b = port.read_byte(5s);
    late.join();
    EXPECT_EQ(b, 0xFF);
    EXPECT_LT(Clock::now() - t0, 2s);
    EXPECT_EQ(port.read_now(), 0x01);
    EXPECT_EQ(port.read_byte(1s), 0x02);
}

TEST_F(PtyPort, WrittenBytesArriveWholeAndDrainBeforeClose) {
    port.set_port_number(3);
    port.open();
    std::vector<std::uint8_t> big(3000);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i);
    port.write(big, 5s);
    port.write(std::vector<std::uint8_t>{'g'}, 5s);
    EXPECT_TRUE(port.drain(2s));
    port.close();
    big.push_back('g');
    EXPECT_EQ(read_master(big.size(), 5s), big);
}

TEST_F(PtyPort, WriteThatTheLineDoesNotTakeTimesOut) {
    port.set_port_number(3);
    port.open();
    // Nobody reads the other end: the pseudo-terminal fills up.
    std::vector<std::uint8_t> chunk(64 * 1024, 'x');
    const auto t0 = Clock::now();
    try {
        for (int i = 0; i < 64; ++i) port.write(chunk, 200ms);
        FAIL() << "the line took everything";
    } catch (const CommError& e) {
        EXPECT_EQ(e.code(), kp28setup::kErrTimeout);
    }
    EXPECT_LT(Clock::now() - t0, 5s);
}

TEST_F(PtyPort, PortErrorsHaveTheirNumbers) {
    auto code = [](auto&& f) {
        try {
            f();
        } catch (const CommError& e) {
            return e.code();
        }
        return 0;
    };
    port.set_port_number(4);
    EXPECT_EQ(code([&] { port.open(); }), kp28setup::kErrInvalidPortNumber);
    EXPECT_EQ(code([&] { port.write(std::vector<std::uint8_t>{1}, 1s); }),
              kp28setup::kErrPortNotOpen);
    EXPECT_EQ(code([&] { (void)port.read_byte(1s); }), kp28setup::kErrPortNotOpen);
    EXPECT_EQ(code([&] { port.set_settings("19200,e,7,1"); }), kp28setup::kErrInvalidSettings);
    EXPECT_EQ(code([&] { port.set_settings("19200"); }), kp28setup::kErrInvalidSettings);
    port.set_port_number(3);
    port.open();
    EXPECT_EQ(code([&] { port.set_port_number(4); }), kp28setup::kErrPortAlreadyOpen);
    EXPECT_EQ(code([&] { port.open(); }), kp28setup::kErrPortAlreadyOpen);
    // A pseudo-terminal has no modem lines.
    EXPECT_EQ(port.cts(), std::nullopt);
    EXPECT_EQ(port.dsr(), std::nullopt);
}

}  // namespace
}  // namespace setuptest
