// Throughput and CPU of Kp28wrap_write against plain write() on the same
// pseudo-terminal, on a quiet machine and under a competing load, and the CPU
// an open but idle DOOR costs.
//
// A 2 MiB image goes to the printer's node in 8192-byte writes, the way the
// updater sends firmware, while a reader thread drains the printer's side.
// One round is four runs back to back, A B B A, with plain write() as A in
// even rounds and the library as A in odd ones: under load the position of a
// run in the sequence sways its speed by up to a factor of two, and this order
// gives each way the same positions within a round. A round's figure for a way
// is its two runs together; each figure printed is the median over the rounds
// of a phase, with its spread, so both numbers of a ratio come from the same
// moment of the machine.
// The competing load is one busy process per processor, started and stopped
// here; being other processes, it is not counted in the CPU figures, which are
// the whole benchmark process's (writer, reader and library threads). The
// library is loaded with dlopen after the fake sysroot exists, since it
// discovers printers at load.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "kp28/fake_sysroot.h"
#include "kp28wrap.h"

namespace {

using Clock = std::chrono::steady_clock;
// Short runs keep the two runs of a round close together in time, which is
// what makes their ratio mean something on a busy machine.
constexpr size_t kImageSize = 2u << 20;
constexpr size_t kWriteSize = 8192;
constexpr double kMiB = 1 << 20;

struct Api {
    int32_t (*connect)(KP28_DOOR*, int);
    int32_t (*disconnect)(KP28_DOOR*);
    int32_t (*write)(KP28_DOOR, const void*, unsigned, unsigned*, int);
};

// Drains the master until `expected` bytes have come through.
class Drain {
  public:
    Drain(int master, size_t expected) : master_(master), expected_(expected) {
        thread_ = std::thread([this] { run(); });
    }
    // True when every byte arrived.
    bool finish() {
        thread_.join();
        return got_ == expected_;
    }

  private:
    void run() {
        std::vector<char> buf(1 << 16);
        while (got_ < expected_) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0) return;  // stalled: give up
            const ssize_t n = ::read(master_, buf.data(), buf.size());
            if (n <= 0) return;
            got_ += static_cast<size_t>(n);
        }
    }
    int master_;
    size_t expected_;
    size_t got_ = 0;
    std::thread thread_;
};

double cpu_seconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// One run of one way: wall-clock throughput and the process's CPU per MiB.
struct Run {
    double mib_s = 0;
    double cpu_ms_per_mib = 0;
    bool ok() const { return mib_s > 0; }
};

template <class WriteAll>
Run timed_run(int master, size_t bytes, WriteAll&& write_all) {
    const double cpu0 = cpu_seconds();
    Drain drain(master, bytes);
    const auto start = Clock::now();
    const bool wrote = write_all();
    const auto end = Clock::now();
    const bool ok = drain.finish() && wrote;
    const double cpu = cpu_seconds() - cpu0;
    if (!ok) return {};
    const double mib = static_cast<double>(bytes) / kMiB;
    return {mib / std::chrono::duration<double>(end - start).count(), 1000 * cpu / mib};
}

// Two runs of one way as one: the bytes of both over the time of both.
Run combine(const Run& x, const Run& y) {
    return {2 / (1 / x.mib_s + 1 / y.mib_s), (x.cpu_ms_per_mib + y.cpu_ms_per_mib) / 2};
}

Run run_plain(const std::string& node, int master, const std::vector<char>& image) {
    const int fd = ::open(node.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return {};
    const Run r = timed_run(master, image.size(), [&] {
        for (size_t off = 0; off < image.size(); off += kWriteSize) {
            size_t done = 0;
            while (done < kWriteSize) {
                const ssize_t n = ::write(fd, image.data() + off + done, kWriteSize - done);
                if (n <= 0) return false;
                done += static_cast<size_t>(n);
            }
        }
        return true;
    });
    ::close(fd);
    return r;
}

Run run_library(const Api& api, KP28_DOOR door, int master, const std::vector<char>& image) {
    return timed_run(master, image.size(), [&] {
        for (size_t off = 0; off < image.size(); off += kWriteSize) {
            unsigned count = 0;
            if (api.write(door, image.data() + off, kWriteSize, &count, 10000) != 0 ||
                count != kWriteSize)
                return false;
        }
        return true;
    });
}

// One busy process per processor while it lives.
class CompetingLoad {
  public:
    explicit CompetingLoad(unsigned n) {
        for (unsigned i = 0; i < n; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the benchmark
                std::atomic<unsigned long> spin{0};
                for (;;) spin.fetch_add(1, std::memory_order_relaxed);
            }
            if (pid > 0) pids_.push_back(pid);
        }
    }
    ~CompetingLoad() {
        for (pid_t pid : pids_) kill(pid, SIGKILL);
        for (pid_t pid : pids_) waitpid(pid, nullptr, 0);
    }
    CompetingLoad(const CompetingLoad&) = delete;
    CompetingLoad& operator=(const CompetingLoad&) = delete;
    size_t size() const { return pids_.size(); }

  private:
    std::vector<pid_t> pids_;
};

std::string loadavg() {
    double l[3] = {};
    if (getloadavg(l, 3) != 3) return "unknown";
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", l[0], l[1], l[2]);
    return text;
}

// Median and spread (lowest, quartiles, highest) of a set of figures.
struct Spread {
    double min = 0, q1 = 0, median = 0, q3 = 0, max = 0;
};

Spread spread(std::vector<double> v) {
    Spread s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    const auto at = [&](double q) { return v[static_cast<size_t>(q * (v.size() - 1) + 0.5)]; };
    s.min = v.front();
    s.q1 = at(0.25);
    s.median = at(0.5);
    s.q3 = at(0.75);
    s.max = v.back();
    return s;
}

void print_spread(const char* what, const Spread& s, const char* unit) {
    std::printf("  %-34s median %8.3f %-8s (min %.3f, quartiles %.3f-%.3f, max %.3f)\n", what,
                s.median, unit, s.min, s.q1, s.q3, s.max);
}

struct Phase {
    const char* name;
    unsigned load_processes;
};

// Runs one phase of paired rounds; false when a run failed.
bool run_phase(const Phase& phase, int rounds, const Api& api, KP28_DOOR door,
               const std::string& node, int master, const std::vector<char>& image) {
    const CompetingLoad load(phase.load_processes);
    const std::string load_before = loadavg();
    std::vector<double> plain_mib, lib_mib, ratio, plain_cpu, lib_cpu, cpu_ratio;
    for (int r = 0; r < rounds; ++r) {
        const bool plain_outside = r % 2 == 0;
        Run runs[4];
        for (int i = 0; i < 4; ++i) {
            const bool plain_turn = (i == 0 || i == 3) == plain_outside;
            runs[i] =
                plain_turn ? run_plain(node, master, image) : run_library(api, door, master, image);
        }
        if (!runs[0].ok() || !runs[1].ok() || !runs[2].ok() || !runs[3].ok()) {
            std::fprintf(stderr, "%s round %d: a run failed\n", phase.name, r + 1);
            return false;
        }
        const Run& a = plain_outside ? runs[0] : runs[1];
        const Run& b = plain_outside ? runs[3] : runs[2];
        const Run& c = plain_outside ? runs[1] : runs[0];
        const Run& d = plain_outside ? runs[2] : runs[3];
        const Run plain = combine(a, b);
        const Run wrap = combine(c, d);
        std::printf(
            "%s round %2d (%s): plain write() %7.1f MiB/s %6.2f ms CPU/MiB, "
            "Kp28wrap_write %7.1f MiB/s %6.2f ms CPU/MiB, ratio %.3f\n",
            phase.name, r + 1, plain_outside ? "P L L P" : "L P P L", plain.mib_s,
            plain.cpu_ms_per_mib, wrap.mib_s, wrap.cpu_ms_per_mib, wrap.mib_s / plain.mib_s);
        plain_mib.push_back(plain.mib_s);
        lib_mib.push_back(wrap.mib_s);
        ratio.push_back(wrap.mib_s / plain.mib_s);
        plain_cpu.push_back(plain.cpu_ms_per_mib);
        lib_cpu.push_back(wrap.cpu_ms_per_mib);
        cpu_ratio.push_back(wrap.cpu_ms_per_mib / plain.cpu_ms_per_mib);
    }
    std::printf("%s: %d rounds of 4 x 2 MiB, %zu competing busy processes, loadavg %s -> %s\n",
                phase.name, rounds, load.size(), load_before.c_str(), loadavg().c_str());
    print_spread("plain write() wall", spread(plain_mib), "MiB/s");
    print_spread("Kp28wrap_write wall", spread(lib_mib), "MiB/s");
    print_spread("wall ratio (goal >= 0.90)", spread(ratio), "");
    print_spread("plain write() CPU", spread(plain_cpu), "ms/MiB");
    print_spread("Kp28wrap_write CPU", spread(lib_cpu), "ms/MiB");
    print_spread("CPU ratio (goal <= 1.20)", spread(cpu_ratio), "");
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    // Second argument: "quiet" or "loaded" runs that phase only; "plain" or
    // "lib" runs one way only, for profiling.
    const std::string only = argc > 2 ? argv[2] : "";
    kp28::FakeSysroot root;
    auto& pty = root.add_usb_printer(0);
    setenv("KP28_SYSROOT", root.root().c_str(), 1);
    unsetenv("KP28WRAP_DEBUG_OUT");
    unsetenv("WLOGERR");

    void* lib = dlopen(KP28WRAP_SO_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    Api api{};
    api.connect = reinterpret_cast<decltype(api.connect)>(dlsym(lib, "Kp28wrap_connect"));
    api.disconnect = reinterpret_cast<decltype(api.disconnect)>(dlsym(lib, "Kp28wrap_disconnect"));
    api.write = reinterpret_cast<decltype(api.write)>(dlsym(lib, "Kp28wrap_write"));
    KP28_DOOR door = 0;
    if (api.connect(&door, 0) != 0) {
        std::fprintf(stderr, "connect failed\n");
        return 1;
    }

    std::vector<char> image(kImageSize);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 31 + 7);
    const std::string node = root.usb_node(0);

    bool ok = true;
    if (only == "plain" || only == "lib") {
        for (int r = 0; r < rounds && ok; ++r) {
            const Run run = only == "plain" ? run_plain(node, pty.master(), image)
                                            : run_library(api, door, pty.master(), image);
            std::printf("%s round %d: %.1f MiB/s, %.2f ms CPU/MiB\n", only.c_str(), r + 1,
                        run.mib_s, run.cpu_ms_per_mib);
            ok = run.ok();
        }
    } else {
        const unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
        if (only != "loaded")
            ok = run_phase({"quiet", 0}, rounds, api, door, node, pty.master(), image) && ok;
        if (only != "quiet")
            ok = run_phase({"loaded", cpus}, rounds, api, door, node, pty.master(), image) && ok;
    }

    // An open DOOR with no traffic: the idle timer closes the device after 2 s
    // and then waits without limit; nothing of the library may spin.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    const double cpu0 = cpu_seconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double idle_cpu = cpu_seconds() - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("idle DOOR: %.4f s CPU over %.2f s wall (%.2f%%)\n", idle_cpu, wall,
                100 * idle_cpu / wall);

    api.disconnect(&door);
    dlclose(lib);
    return ok ? 0 : 1;
}
