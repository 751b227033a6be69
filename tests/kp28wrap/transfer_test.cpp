// Connect, write, read (without limit and timed) and disconnect against
// printers that the test plays on the pseudo-terminal's master side.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "wrap_test_base.h"

namespace kp28test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class TransferTest : public WrapTest {};

TEST_F(TransferTest, WriteReachesPrinterAndUntimedReadGetsReply) {
    auto& pty = root.add_usb_printer(0);
    load();
    const KP28_DOOR door = connect(0);
    EXPECT_EQ(door, 0x0D002000u);

    const std::string query("\x14\x14\x1b\x14\x01\x00\x01", 7);
    unsigned count = 0;
    EXPECT_EQ(write(door, query, -1, &count), 0);
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(read_master_exact(pty.master(), 7, 2s), query);

    write_master(pty.master(), "KP28Plus");
    int32_t rc = -1;
    EXPECT_EQ(read(door, 64, -1, rc), "KP28Plus");
    EXPECT_EQ(rc, 0);

    KP28_DOOR d = door;
    EXPECT_EQ((*lib)->disconnect(&d), 0);
    EXPECT_EQ(d, KP28_INVALID_DOOR);
}

TEST_F(TransferTest, TimedReadOfSilentPrinterTimesOutAndNextReadGetsLateReply) {
    auto& pty = root.add_usb_printer(0);
    load();
    const KP28_DOOR door = connect(0);

    int32_t rc = -1;
    const auto start = Clock::now();
    EXPECT_EQ(read(door, 64, 300, rc), "");
    EXPECT_GE(Clock::now() - start, 300ms);
    EXPECT_EQ(rc, KP28WRAP_E_TIMEOUT);
    EXPECT_EQ(last_error(), KP28WRAP_E_TIMEOUT);

    // The reply arrives while nobody waits; the worker left behind keeps it.
    write_master(pty.master(), "late reply");
    EXPECT_EQ(read(door, 64, 5000, rc), "late reply");
    EXPECT_EQ(rc, 0);
}

TEST_F(TransferTest, TimedReadEndsAsSoonAsReplyArrives) {
    auto& pty = root.add_usb_printer(0);
    load();
    const KP28_DOOR door = connect(0);
    std::thread printer([&] {
        // Answer once the worker is waiting for the device.
        if (debug.wait_for("do_read - bufflen", 5s)) write_master(pty.master(), "ok");
    });
    int32_t rc = -1;
    const auto start = Clock::now();
    EXPECT_EQ(read(door, 16, 10000, rc), "ok");
    EXPECT_EQ(rc, 0);
    EXPECT_LT(Clock::now() - start, 9s) << "the read must not sit out its time-out";
    printer.join();
}

TEST_F(TransferTest, VanishedNodeFailsReopenUntilItComesBack) {
    auto& pty = root.add_usb_printer(0);
    load();
    const KP28_DOOR door = connect(0);
    ASSERT_EQ(write(door, "a", 1000), 0);
    ASSERT_TRUE(debug.wait_for("TimerProc - Close Device", 5s));
    root.unplug_usb_node(0);
    unsigned count = 99;
    EXPECT_EQ(write(door, "b", 1000, &count), KP28WRAP_E_OPEN);
    EXPECT_EQ(count, 0u);
    int32_t rc = -1;
    EXPECT_EQ(read(door, 8, -1, rc), "");
    EXPECT_EQ(rc, KP28WRAP_E_OPEN);
    EXPECT_EQ(lib->message(), "error opening device");
    root.replug_usb_node(0);
    EXPECT_EQ(write(door, "c", 1000), 0);
    EXPECT_EQ(read_master_exact(pty.master(), 2, 2s), "ac");
}

TEST_F(TransferTest, TwoDoorsExchangeIndependentlyFromTwoThreads) {
    kp28::PtyEndpoint* pty[2] = {&root.add_usb_printer(0), &root.add_usb_printer(1)};
    load();
    const KP28_DOOR doors[2] = {connect(0), connect(1)};
    constexpr int kRounds = 40;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int p = 0; p < 2; ++p) {
        // The printer echoes every message it gets.
        threads.emplace_back([&, p] {
            for (int i = 0; i < kRounds; ++i) {
                const std::string msg = read_master_exact(pty[p]->master(), 8, 5s);
                if (msg.size() != 8) return;
                write_master(pty[p]->master(), msg);
            }
        });
        threads.emplace_back([&, p] {
            for (int i = 0; i < kRounds; ++i) {
                char msg[9];
                std::snprintf(msg, sizeof msg, "p%d-%05d", p, i);
                unsigned count = 0;
                if ((*lib)->write(doors[p], msg, 8, &count, 2000) != 0 || count != 8) {
                    ++failures;
                    continue;
                }
                // The echo may come in pieces.
                std::string back;
                for (int piece = 0; piece < 8 && back.size() < 8; ++piece) {
                    char buf[8];
                    if ((*lib)->read(doors[p], buf, static_cast<unsigned>(8 - back.size()), &count,
                                     2000) != 0)
                        break;
                    back.append(buf, count);
                }
                if (back != msg) ++failures;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace kp28test
