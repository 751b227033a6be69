// What a write asks of the C library, counted by stand-ins for getenv,
// pthread_mutex_lock, sched_yield and poll that this program exports, so that
// the library (loaded with dlopen) binds to them. They count only calls made
// by the test's thread while it counts; everything else passes straight on.
#include <dlfcn.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "wrap_test_base.h"

namespace {

thread_local bool t_counting = false;
std::atomic<int> g_getenv{0}, g_locks{0}, g_yields{0}, g_polls{0};

using LockFn = int (*)(pthread_mutex_t*);
using PollFn = int (*)(pollfd*, nfds_t, int);
std::atomic<LockFn> g_real_lock{nullptr};
std::atomic<PollFn> g_real_poll{nullptr};

__attribute__((constructor)) void find_real_functions() {
    g_real_lock = reinterpret_cast<LockFn>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
    g_real_poll = reinterpret_cast<PollFn>(dlsym(RTLD_NEXT, "poll"));
}

void reset_counts() {
    g_getenv = 0;
    g_locks = 0;
    g_yields = 0;
    g_polls = 0;
}

bool syslog_listens() {
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, "/dev/log", sizeof addr.sun_path - 1);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

}  // namespace

extern "C" {

char* getenv(const char* name) {
    if (t_counting) ++g_getenv;
    const size_t len = std::strlen(name);
    for (char** e = environ; e && *e; ++e)
        if (std::strncmp(*e, name, len) == 0 && (*e)[len] == '=') return *e + len + 1;
    return nullptr;
}

int pthread_mutex_lock(pthread_mutex_t* m) {
    if (t_counting) ++g_locks;
    LockFn real = g_real_lock.load();
    if (!real) {
        real = reinterpret_cast<LockFn>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
        g_real_lock = real;
    }
    return real(m);
}

int sched_yield() {
    if (t_counting) ++g_yields;
    return static_cast<int>(syscall(SYS_sched_yield));
}

int poll(pollfd* fds, nfds_t n, int timeout) {
    if (t_counting) ++g_polls;
    PollFn real = g_real_poll.load();
    if (!real) {
        real = reinterpret_cast<PollFn>(dlsym(RTLD_NEXT, "poll"));
        g_real_poll = real;
    }
    return real(fds, n, timeout);
}

}  // extern "C"

namespace kp28test {
namespace {

using namespace std::chrono_literals;

class CallsTest : public WrapTest {
  protected:
    void SetUp() override {
        if (syslog_listens()) GTEST_SKIP() << "a syslog daemon listens: the trace is on";
        // Trace off: no debug-output file and no syslog socket.
        pty = &root.add_usb_printer(0);
        load({{"KP28WRAP_DEBUG_OUT", std::nullopt}});
        door = connect(0);
    }
    kp28::PtyEndpoint* pty = nullptr;
    KP28_DOOR door = KP28_INVALID_DOOR;
};

TEST_F(CallsTest, WriteWithTraceOffLooksUpNoVariableAndTakesOneLock) {
    // Small writes that the node takes at once, like a stream that keeps up.
    constexpr int kWrites = 200;
    const std::string bytes(16, 'w');
    std::vector<int> locks(kWrites), getenvs(kWrites), yields(kWrites);
    int failures = 0;
    for (int i = 0; i < kWrites; ++i) {
        unsigned count = 0;
        reset_counts();
        t_counting = true;
        const int32_t rc = (*lib)->write(door, bytes.data(), 16, &count, 1000);
        t_counting = false;
        if (rc != 0 || count != 16) ++failures;
        locks[i] = g_locks;
        getenvs[i] = g_getenv;
        yields[i] = g_yields;
    }
    EXPECT_EQ(failures, 0);
    int extra = 0;
    for (int i = 0; i < kWrites; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(getenvs[i], 0);
        EXPECT_EQ(yields[i], 0);
        EXPECT_GE(locks[i], 1) << "the DOOR check takes the library lock";
        EXPECT_LE(locks[i], 2);
        // The second: the idle timer's own, to wake it if it had disarmed.
        if (locks[i] > 1) ++extra;
    }
    EXPECT_LE(extra, 1);
    drain_master(pty->master());
}

TEST_F(CallsTest, WriterThatCannotWriteSleepsInPoll) {
    // Nobody reads the printer's side: the write fills the node and then can
    // only wait for its time to run out.
    const std::string data(4 << 20, 'x');
    unsigned count = 0;
    reset_counts();
    t_counting = true;
    const int32_t rc =
        (*lib)->write(door, data.data(), static_cast<unsigned>(data.size()), &count, 300);
    t_counting = false;
    EXPECT_EQ(rc, KP28WRAP_E_TIMEOUT);
    EXPECT_LT(count, data.size());
    EXPECT_EQ(g_yields.load(), 0);
    // One sleep for the whole time limit, a few more if signals woke it.
    EXPECT_LE(g_polls.load(), 5);
    EXPECT_GE(g_polls.load(), 1);
    drain_master(pty->master());
}

}  // namespace
}  // namespace kp28test
