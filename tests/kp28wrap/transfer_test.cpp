// Connect, write, read (without limit and timed) and disconnect against
// printers that the test plays on the pseudo-terminal's master side.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <vector>

#include "kp28/fake_sysroot.h"
#include "wrap_test_base.h"

namespace kp28test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class TransferTest : public WrapTest {};

TEST_F(TransferTest, ReadFromPrinterThatHungUpFailsInsteadOfDeliveringNothing) {
    for (int timeout : {-1, 1000}) {
        SCOPED_TRACE(timeout);
        kp28::FakeSysroot own;
        own.add_usb_printer(0);
        kp28::PtyEndpoint pty;
        own.unplug_usb_node(0);
        std::filesystem::create_symlink(pty.slave_path(), own.usb_node(0));
        load({{"KP28_SYSROOT", own.root()}});
        const KP28_DOOR door = connect(0);
        write_master(pty.master(), "last");
        int32_t rc = -1;
        EXPECT_EQ(read(door, 4, timeout, rc), "last");
        EXPECT_EQ(rc, 0);

        pty.hang_up();
        for (int again = 0; again < 2; ++again) {
            const auto start = Clock::now();
            EXPECT_EQ(read(door, 16, timeout, rc), "");
            EXPECT_EQ(rc, KP28WRAP_E_READ) << "attempt " << again;
            EXPECT_EQ(last_error(), KP28WRAP_E_READ);
            EXPECT_LT(Clock::now() - start, 900ms) << "a hang-up is known at once";
        }
        EXPECT_EQ(write(door, "x", 1000), KP28WRAP_E_WRITE);
        KP28_DOOR d = door;
        EXPECT_EQ((*lib)->disconnect(&d), 0);
        unload();
    }
}

TEST_F(TransferTest, TimedReadTooLongToServeFailsAtOnceAndLeavesNothingBehind) {
    auto& pty = root.add_usb_printer(0);
    load();
    KP28_DOOR door = connect(0);
    // Beyond what one read of the kernel takes, once rounded to 512-byte chunks.
    for (unsigned length : {0xFFFFFFFFu, 0x80000000u, 0x7FFFF001u}) {
        SCOPED_TRACE(length);
        char small[16];
        unsigned count = 99;
        const auto start = Clock::now();
        EXPECT_EQ((*lib)->read(door, small, length, &count, 10000), KP28WRAP_E_NO_MEMORY);
        EXPECT_EQ(count, 0u);
        EXPECT_LT(Clock::now() - start, 500ms);
    }
    // Nothing keeps running: the next timed read starts afresh and gets the
    // printer's bytes, and no late failure turns up in the last error.
    ASSERT_EQ((*lib)->ioctl(door, 3, 0, nullptr), 0);
    write_master(pty.master(), "fine");
    int32_t rc = -1;
    EXPECT_EQ(read(door, 16, 2000, rc), "fine");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(last_error(), 0);
    const auto start = Clock::now();
    EXPECT_EQ((*lib)->disconnect(&door), 0);
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_EQ(last_error(), 0);
}

TEST_F(TransferTest, FailedOpenTracesTheSystemsReason) {
    struct Case {
        const char* name;
        void (*spoil)(kp28::FakeSysroot&);
        const char* reason;
    };
    const Case cases[] = {
        {"node gone", [](kp28::FakeSysroot& r) { r.unplug_usb_node(0); },
         "No such file or directory"},
        {"node is a folder",
         [](kp28::FakeSysroot& r) {
             r.unplug_usb_node(0);
             std::filesystem::create_directory(r.usb_node(0));
         },
         "Is a directory"},
        {"node is a dangling link",
         [](kp28::FakeSysroot& r) {
             r.unplug_usb_node(0);
             std::filesystem::create_symlink(r.path("nowhere"), r.usb_node(0));
         },
         "No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kp28::FakeSysroot own;
        own.add_usb_printer(0);
        c.spoil(own);
        load({{"KP28_SYSROOT", own.root()}});
        KP28_DOOR door = 0;
        EXPECT_EQ((*lib)->connect(&door, 0), KP28WRAP_E_OPEN);
        const std::string line =
            "kp28wrap - OpenDevice - cannot open " + own.usb_node(0) + ": " + std::string(c.reason);
        EXPECT_EQ(debug.count(line), 1u) << line;
        unload();
        std::filesystem::remove(debug.path());
    }
}

TEST_F(TransferTest, FailedOpenForLackOfPermissionSaysSo) {
    if (geteuid() == 0) GTEST_SKIP() << "root opens any node";
    auto& pty = root.add_usb_printer(0);
    (void)pty;
    const std::string target = std::filesystem::read_symlink(root.usb_node(0)).string();
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    ASSERT_EQ(chmod(target.c_str(), 0), 0);
    load();
    KP28_DOOR door = 0;
    EXPECT_EQ((*lib)->connect(&door, 0), KP28WRAP_E_OPEN);
    chmod(target.c_str(), st.st_mode & 07777);
    EXPECT_EQ(debug.count("OpenDevice - cannot open " + root.usb_node(0) + ": Permission denied"),
              1u);
}

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
