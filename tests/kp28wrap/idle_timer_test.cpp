// The idle timer, the read worker and the threads' ends: the device closes
// 2 s after the last transfer and the next transfer reopens it, a transfer
// under way holds the timer off, and disconnect or unload wake and join every
// library thread.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "wrap_test_base.h"

namespace kp28test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class IdleTimerTest : public WrapTest {};

TEST_F(IdleTimerTest, DeviceClosesTwoSecondsAfterLastTransferAndNextTransferReopens) {
    auto& pty = root.add_usb_printer(0);
    load();
    KP28_DOOR door = connect(0);
    ASSERT_EQ(write(door, "first", 1000), 0);
    const auto last_transfer = Clock::now();
    ASSERT_TRUE(debug.wait_for("kp28wrap - TimerProc - Close Device ppi: 0x", 5s));
    EXPECT_GE(Clock::now() - last_transfer, 1900ms);
    EXPECT_EQ(debug.count("kp28wrap - CloseDevice - device closed ppi: 0x"), 1u);
    EXPECT_EQ(read_master_exact(pty.master(), 5, 2s), "first");

    // Controls use the device as it stands, so they fail while it is closed.
    unsigned char status[128];
    EXPECT_EQ((*lib)->ioctl(door, 8, 0, status), 0x209);

    ASSERT_EQ(write(door, "second", 1000), 0);
    EXPECT_EQ(debug.count("kp28wrap - do_write - new device handle: 0x"), 1u);
    EXPECT_EQ(read_master_exact(pty.master(), 6, 2s), "second");
    EXPECT_EQ(debug.count("kp28wrap - OpenDevice - handle: 0x"), 2u);
    EXPECT_EQ(debug.count("TimerProc - Triggered ppi: 0x"), 1u) << "one timer thread per printer";

    ASSERT_TRUE(debug.wait_for("kp28wrap - TimerProc - Close Device ppi: 0x", 5s, 2));
    write_master(pty.master(), "reply");
    int32_t rc = -1;
    EXPECT_EQ(read(door, 16, 2000, rc), "reply");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(debug.count("kp28wrap - do_read - new device handle: 0x"), 1u);
}

TEST_F(IdleTimerTest, TransferUnderWayHoldsTimerOff) {
    auto& pty = root.add_usb_printer(0);
    load();
    KP28_DOOR door = connect(0);
    std::atomic<int32_t> rc{-1};
    std::string got;
    std::thread reader([&] {
        int32_t r = -1;
        got = read(door, 16, -1, r);
        rc = r;
    });
    // The timer runs out while the read waits: it notes the transfer and keeps the file.
    EXPECT_TRUE(debug.wait_for("kp28wrap - TimerProc - Timer busy ppi: 0x", 5s));
    EXPECT_EQ(debug.count("Close Device"), 0u);
    write_master(pty.master(), "answer");
    reader.join();
    EXPECT_EQ(rc.load(), 0);
    EXPECT_EQ(got, "answer");
}

TEST_F(IdleTimerTest, ShortTimedReadsStillWaitOneStep) {
    root.add_usb_printer(0);
    load();
    KP28_DOOR door = connect(0);
    for (int timeout : {0, 50, 100, -2}) {
        SCOPED_TRACE(timeout);
        const auto start = Clock::now();
        int32_t rc = -1;
        EXPECT_EQ(read(door, 8, timeout, rc), "");
        EXPECT_EQ(rc, KP28WRAP_E_TIMEOUT);
        EXPECT_GE(Clock::now() - start, 95ms);
    }
    // All four waited on one worker, started by the first of them.
    EXPECT_EQ(debug.count("do_read - start"), 1u);
}

TEST_F(IdleTimerTest, LateBytesGoToNextTimedReadUpToItsLength) {
    auto& pty = root.add_usb_printer(0);
    load();
    KP28_DOOR door = connect(0);
    int32_t rc = -1;
    EXPECT_EQ(read(door, 64, 150, rc), "");
    ASSERT_EQ(rc, KP28WRAP_E_TIMEOUT);
    write_master(pty.master(), "0123456789");
    ASSERT_TRUE(debug.wait_for("do_read - exit rc: 0x0", 2s));
    EXPECT_EQ(read(door, 4, 1000, rc), "0123");
    EXPECT_EQ(rc, 0);
    // The worker is used up: the next timed read starts a new one.
    write_master(pty.master(), "next");
    EXPECT_EQ(read(door, 64, 1000, rc), "next");
}

TEST_F(IdleTimerTest, DisconnectEndsPendingWorkerWithoutRecordingItsEnd) {
    auto& pty = root.add_usb_printer(0);
    load();
    KP28_DOOR door = connect(0);
    int32_t rc = -1;
    EXPECT_EQ(read(door, 64, 100, rc), "");
    ASSERT_EQ(rc, KP28WRAP_E_TIMEOUT);
    ASSERT_EQ((*lib)->disconnect(&door), 0);
    EXPECT_EQ(last_error(), KP28WRAP_E_TIMEOUT);
    // Nothing of the old connection reads any more: the bytes stay for the next one.
    write_master(pty.master(), "kept");
    door = connect(0);
    EXPECT_EQ(read(door, 64, 1000, rc), "kept");
}

TEST_F(IdleTimerTest, DisconnectWakesCallerBlockedInUntimedRead) {
    root.add_usb_printer(0);
    load();
    KP28_DOOR door = connect(0);
    std::atomic<int32_t> rc{-1};
    std::thread reader([&] {
        char buf[16];
        unsigned count = 0;
        rc = (*lib)->read(door, buf, sizeof buf, &count, -1);
    });
    ASSERT_TRUE(debug.wait_for("do_read - bufflen: 512", 2s));
    KP28_DOOR d = door;
    EXPECT_EQ((*lib)->disconnect(&d), 0);
    reader.join();
    EXPECT_EQ(rc.load(), KP28WRAP_E_READ);
}

TEST_F(IdleTimerTest, UnloadWithOpenDoorAndPendingWorkerJoinsEverything) {
    root.add_usb_printer(0);
    root.add_usb_printer(1);
    load();
    KP28_DOOR a = connect(0);
    connect(1);
    int32_t rc = -1;
    EXPECT_EQ(read(a, 64, 100, rc), "");
    EXPECT_TRUE(lib->unload()) << "the library must leave the process";
    EXPECT_EQ(debug.count("kp28wrap::DllMain(): DLL_PROCESS_DETACH"), 1u);
}

TEST_F(IdleTimerTest, ExitWhileCallerBlockedInReadEndsCleanly) {
    root.add_usb_printer(0);
    const ScopedEnv vars(Env{{"KP28_SYSROOT", root.root()},
                             {"KP28WRAP_DEBUG_OUT", debug.path()},
                             {"KP28WRAP_MODE", std::nullopt}});
    // The library is loaded in a child only, so the fork happens while this
    // process runs no other thread.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(20);  // a hang ends the child instead of the test
        WrapLibrary l;
        KP28_DOOR door = 0;
        if (l->connect(&door, 0) != 0) _exit(3);
        std::thread blocked([&] {
            char buf[8];
            unsigned count = 0;
            l->read(door, buf, sizeof buf, &count, -1);
        });
        blocked.detach();
        if (!debug.wait_for("do_read - bufflen", 5s)) _exit(4);
        // exit() runs the library's unload step while the reader still waits
        // inside the library: it must be woken, not crash on freed state.
        std::exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(debug.count("kp28wrap::DllMain(): DLL_PROCESS_DETACH"), 1u);
}

TEST_F(IdleTimerTest, TimedOutWriteLeavesNothingThatPointsIntoCallerMemory) {
    auto& pty = root.add_usb_printer(0);
    load();
    KP28_DOOR door = connect(0);
    ASSERT_EQ((*lib)->ioctl(door, 1, 1, nullptr), 0);
    std::string data(4 << 20, 'x');
    unsigned count = 0;
    ASSERT_EQ(write(door, data, 200, &count), KP28WRAP_E_TIMEOUT);
    EXPECT_EQ(debug.count("do_write - After cancelio , ppi: 0x"), 1u);
    // The caller reuses its buffer at once; the printer must see only what the
    // write reported, all of it from before.
    std::memset(data.data(), 'y', data.size());
    const std::string seen = read_master_exact(pty.master(), count, 5s);
    EXPECT_EQ(seen.size(), count);
    EXPECT_EQ(seen.find('y'), std::string::npos);
    EXPECT_EQ(read_master(pty.master(), 1, 300ms), "");
}

TEST_F(IdleTimerTest, TraceFollowsConnectWriteReadDisconnect) {
    auto& pty = root.add_usb_printer(0);
    load();
    KP28_DOOR door = connect(0);
    ASSERT_EQ(write(door, "abc", -1), 0);
    write_master(pty.master(), "xy");
    int32_t rc = -1;
    ASSERT_EQ(read(door, 10, -1, rc), "xy");
    ASSERT_EQ((*lib)->disconnect(&door), 0);

    const char* expected[] = {
        "kp28wrap::DllMain(): DLL_PROCESS_ATTACH",
        "kp28wrap - usb_initialize - start",
        "kp28wrap - usb_initialize - end",
        "kp28wrap - usb_open - start",
        "kp28wrap - usb_open - before dorr alloc",
        "kp28wrap - OpenDevice - handle: 0x",
        "kp28wrap - OpenDevice - Timer Activated ppi->timer: 0x",
        "kp28wrap - usb_open - end",
        "kp28wrap - do_write - start, door: 0x0",
        "kp28wrap - do_write - bufflen: 3, door: 0x0",
        "kp28wrap - do_write - after write rc: 0x0, door: 0x0",
        "kp28wrap - RearmTimer - done, ppi->timer: 0x",
        "kp28wrap - do_write - time rearmed handle: 0x",
        "kp28wrap - do_write - exit rc: 0x0",
        "kp28wrap - do_read - start, door: 0x0",
        "kp28wrap - do_read - bufflen: 512, door: 0x0",
        "kp28wrap - do_read - after read handle: 0x",
        "kp28wrap - do_read - time rearmed handle: 0x",
        "kp28wrap - do_read - exit rc: 0x0",
        "kp28wrap - CloseDevice - device closed ppi: 0x",
    };
    const auto lines = debug.lines();
    size_t at = 0;
    for (const char* want : expected) {
        while (at < lines.size() && lines[at].rfind(want, 0) != 0) ++at;
        EXPECT_LT(at, lines.size()) << "missing or out of order: " << want;
        if (at == lines.size()) break;
    }
    EXPECT_GE(debug.count("kp28wrap - TimerProc - Triggered ppi: 0x"), 1u);
}

}  // namespace
}  // namespace kp28test
