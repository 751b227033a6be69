// The peer of a send to many printers is the send to one: a technician who
// sends to each printer in turn waits the sum of the single sends, and the
// best a parallel send can do is the slowest single one. Each of the 50
// virtual printers reads the whole setup file over about a second before it
// closes the connection, so the time is the printers', not the CPU's; the
// ratio total / slowest single send is reported at --parallel 50 (goal:
// 1.5 or less) and at the default (about ceil(50 / 8) = 7: one second per
// round of eight).
#include <benchmark/benchmark.h>
#include <kp28/fake_sysroot.h>
#include <kp28/nvm_crc.h>
#include <kp28/protocol/setup.h>
#include <kp28setup/multi_send.h>
#include <kp28sim/virtual_printer.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kPrinters = 50;
// Single sends timed in each run; their slowest is the peer.
constexpr std::size_t kSingles = 3;

std::vector<std::uint8_t> whole_setup_file() {
    const auto nvm = kp28sim::default_nvm(kp28sim::Model::KP28Plus);
    return kp28::load_setup_frame(nvm, kp28::nvm_crc(nvm, nvm.size(), true));
}

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

void BM_SendToFiftyPrinters(benchmark::State& state) {
    const auto parallel = static_cast<std::size_t>(state.range(0));
    const auto file = whole_setup_file();
    kp28::FakeSysroot root;
    std::vector<std::unique_ptr<kp28sim::VirtualPrinter>> printers;
    std::vector<kp28setup::HostPort> targets;
    for (std::size_t i = 0; i < kPrinters; ++i) {
        kp28sim::PrinterConfig c;
        c.usb_lp.reset();
        c.serial.reset();
        c.parallel_lp.reset();
        c.keep_transcript = false;
        // About one second for the whole file.
        c.faults.tcp_bytes_per_second = file.size();
        printers.push_back(std::make_unique<kp28sim::VirtualPrinter>(root, c));
        printers.back()->start();
        targets.push_back({"127.0.0.1", printers.back()->tcp_port()});
    }
    const kp28setup::MultiSendLimits limits{};
    double ratio_sum = 0, single_sum = 0, total_sum = 0;
    int runs = 0;
    for (auto _ : state) {
        double slowest_single = 0;
        for (std::size_t i = 0; i < kSingles; ++i) {
            const auto t0 = Clock::now();
            const auto r =
                kp28setup::send_file_to_printer(file, targets[i * 17 % kPrinters], limits, nullptr);
            slowest_single = std::max(slowest_single, seconds_since(t0));
            if (!r.ok) {
                state.SkipWithError(("a single send failed: " + r.reason).c_str());
                return;
            }
        }
        kp28setup::MultiSendOptions options;
        options.parallel = parallel;
        options.limits = limits;
        const auto t0 = Clock::now();
        const auto results = kp28setup::send_file_to_printers(file, targets, options);
        const double total = seconds_since(t0);
        state.SetIterationTime(total);
        for (const auto& r : results)
            if (!r.ok) {
                state.SkipWithError(("a printer did not take the file: " + r.reason).c_str());
                return;
            }
        ratio_sum += total / slowest_single;
        single_sum += slowest_single;
        total_sum += total;
        ++runs;
    }
    if (runs == 0) return;
    state.counters["printers"] = static_cast<double>(kPrinters);
    state.counters["slowest_single_s"] = single_sum / runs;
    state.counters["total_s"] = total_sum / runs;
    state.counters["ratio"] = ratio_sum / runs;
}

BENCHMARK(BM_SendToFiftyPrinters)
    ->ArgName("parallel")
    ->Arg(50)
    ->Arg(static_cast<std::int64_t>(kp28setup::kDefaultParallelSends))
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
