// Throughput of Kp28wrap_write against plain write() on the same pseudo-
// terminal, and the CPU an open but idle DOOR costs.
//
// An 8 MiB image goes to the printer's node in 8192-byte writes, the way the
// updater sends firmware, while a reader thread drains the printer's side.
// Both ways run alternately several times in one process; the best run of
// each counts, so that a busy machine penalises neither. The library is loaded
// with dlopen after the fake sysroot exists, since it discovers printers at load.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kp28/fake_sysroot.h"
#include "kp28wrap.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kImageSize = 8u << 20;
constexpr size_t kWriteSize = 8192;

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

// Throughput of one run and the CPU the whole process spent on it (writer,
// reader and any library thread): the CPU figure is steady on a busy machine
// where the wall-clock one is not.
struct Result {
    double mib_s = 0;
    double cpu_s = 0;
};

double mib_per_s(size_t bytes, Clock::duration d) {
    return static_cast<double>(bytes) / (1 << 20) / std::chrono::duration<double>(d).count();
}

Result run_plain(const std::string& node, int master, const std::vector<char>& image) {
    const int fd = ::open(node.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return {};
    const double cpu0 = cpu_seconds();
    Drain drain(master, image.size());
    const auto start = Clock::now();
    for (size_t off = 0; off < image.size(); off += kWriteSize) {
        size_t done = 0;
        while (done < kWriteSize) {
            const ssize_t n = ::write(fd, image.data() + off + done, kWriteSize - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
    }
    const auto end = Clock::now();
    const bool ok = drain.finish();
    ::close(fd);
    if (!ok) return {};
    return {mib_per_s(image.size(), end - start), cpu_seconds() - cpu0};
}

Result run_library(const Api& api, KP28_DOOR door, int master, const std::vector<char>& image) {
    const double cpu0 = cpu_seconds();
    Drain drain(master, image.size());
    const auto start = Clock::now();
    for (size_t off = 0; off < image.size(); off += kWriteSize) {
        unsigned count = 0;
        if (api.write(door, image.data() + off, kWriteSize, &count, 10000) != 0 ||
            count != kWriteSize)
            break;
    }
    const auto end = Clock::now();
    const bool ok = drain.finish();
    if (!ok) return {};
    return {mib_per_s(image.size(), end - start), cpu_seconds() - cpu0};
}

// Both ways take turns of 1 MiB through one drain, so that a change in the
// machine's load hits both alike; returns {plain MiB/s, library MiB/s}.
std::pair<double, double> run_interleaved(const Api& api, KP28_DOOR door, const std::string& node,
                                          int master, const std::vector<char>& image, int rounds) {
    constexpr size_t kTurn = 1u << 20;
    const int fd = ::open(node.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return {0, 0};
    Drain drain(master, 2 * image.size() * static_cast<size_t>(rounds));
    Clock::duration plain{}, wrap{};
    bool ok = true;
    for (int r = 0; r < rounds && ok; ++r) {
        for (size_t base = 0; base < image.size() && ok; base += kTurn) {
            for (int pass = 0; pass < 2 && ok; ++pass) {
                const bool lib_turn = (pass + r + base / kTurn) % 2 == 0;
                const auto start = Clock::now();
                for (size_t off = base; off < base + kTurn; off += kWriteSize) {
                    if (lib_turn) {
                        unsigned count = 0;
                        ok = api.write(door, image.data() + off, kWriteSize, &count, 10000) == 0 &&
                             count == kWriteSize;
                    } else {
                        ok = ::write(fd, image.data() + off, kWriteSize) ==
                             static_cast<ssize_t>(kWriteSize);
                    }
                    if (!ok) break;
                }
                (lib_turn ? wrap : plain) += Clock::now() - start;
            }
        }
    }
    ok = drain.finish() && ok;
    ::close(fd);
    if (!ok) return {0, 0};
    const size_t bytes = image.size() * static_cast<size_t>(rounds);
    return {mib_per_s(bytes, plain), mib_per_s(bytes, wrap)};
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    // Optional second argument "plain" or "lib": run one way only (profiling).
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
    double best_plain = 0, best_lib = 0;
    double cpu_plain = 1e9, cpu_lib = 1e9;
    std::vector<double> ratios;  // per round: both ways met the same machine state
    for (int r = 0; r < rounds; ++r) {
        // Alternate which goes first, so neither always meets a warmer machine.
        Result plain, wrap;
        const bool do_plain = only != "lib", do_lib = only != "plain";
        if (r % 2 == 0) {
            if (do_plain) plain = run_plain(node, pty.master(), image);
            if (do_lib) wrap = run_library(api, door, pty.master(), image);
        } else {
            if (do_lib) wrap = run_library(api, door, pty.master(), image);
            if (do_plain) plain = run_plain(node, pty.master(), image);
        }
        std::printf(
            "round %d: plain write() %.1f MiB/s (%.3f s CPU), Kp28wrap_write %.1f MiB/s (%.3f s "
            "CPU)\n",
            r + 1, plain.mib_s, plain.cpu_s, wrap.mib_s, wrap.cpu_s);
        best_plain = std::max(best_plain, plain.mib_s);
        best_lib = std::max(best_lib, wrap.mib_s);
        if (plain.mib_s > 0) cpu_plain = std::min(cpu_plain, plain.cpu_s);
        if (wrap.mib_s > 0) cpu_lib = std::min(cpu_lib, wrap.cpu_s);
        if (plain.mib_s > 0) ratios.push_back(wrap.mib_s / plain.mib_s);
    }
    std::printf(
        "best of %d: plain write() %.1f MiB/s, Kp28wrap_write %.1f MiB/s, ratio %.3f (goal >= "
        "0.90)\n",
        rounds, best_plain, best_lib, best_plain > 0 ? best_lib / best_plain : 0.0);
    if (!ratios.empty()) {
        std::sort(ratios.begin(), ratios.end());
        std::printf("median of per-round ratios: %.3f\n", ratios[ratios.size() / 2]);
    }
    std::printf("least CPU per 8 MiB: plain write() %.3f s, Kp28wrap_write %.3f s\n", cpu_plain,
                cpu_lib);

    if (only.empty()) {
        const auto [plain, wrap] = run_interleaved(api, door, node, pty.master(), image, rounds);
        std::printf(
            "interleaved in 1 MiB turns, %d x 8 MiB each: plain write() %.1f MiB/s, "
            "Kp28wrap_write %.1f MiB/s, ratio %.3f (goal >= 0.90)\n",
            rounds, plain, wrap, plain > 0 ? wrap / plain : 0.0);
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
    return best_plain > 0 || best_lib > 0 ? 0 : 1;
}
