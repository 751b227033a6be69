// The peer here is the line itself: a read cannot be faster than the bytes
// that cross it at 19200 baud plus the pause the dialogue prescribes after
// "n". The benchmark reports the read's wall time against that bound
// (ratio), and the CPU time the session's thread spent, which stays near
// zero because every wait is spent in poll().
#include <benchmark/benchmark.h>
#include <kp28/fake_sysroot.h>
#include <kp28setup/scripted_operator.h>
#include <kp28setup/serial_port_posix.h>
#include <kp28setup/session.h>
#include <kp28sim/virtual_printer.h>

#include <chrono>
#include <ctime>

namespace {

double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void BM_Kp28PlusNvmReadAtLineRate(benchmark::State& state) {
    double ratio_sum = 0, cpu_sum = 0, bound_sum = 0;
    int runs = 0;
    for (auto _ : state) {
        kp28::FakeSysroot root;
        kp28sim::PrinterConfig cfg;
        cfg.model = kp28sim::Model::KP28Plus;
        cfg.start_in_setup_mode = true;
        cfg.usb_lp.reset();
        cfg.parallel_lp.reset();
        cfg.tcp_port.reset();
        cfg.faults.pace_line_rate = true;
        kp28sim::VirtualPrinter printer(root, cfg);
        printer.start();

        const std::string r = root.root();
        kp28setup::PosixSerialPort port([r](int com) { return kp28setup::node_for_com(r, com); });
        kp28setup::ScriptedOperator op;
        kp28setup::Session s(kp28setup::SessionDeps{port,
                                                    op,
                                                    [r] { return kp28setup::scan_ports(r); },
                                                    {},
                                                    nullptr,
                                                    nullptr,
                                                    kp28setup::TimeLimits{}});
        s.Form_Load();

        const double cpu0 = thread_cpu_seconds();
        const auto t0 = std::chrono::steady_clock::now();
        s.cmd_readNVM_Click();
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double cpu = thread_cpu_seconds() - cpu0;
        if (!s.commands().enabled(kp28setup::Command::WriteNvm)) {
            state.SkipWithError("the read failed");
            break;
        }
        // Everything that crossed the line, at 10 bit times a byte, plus the
        // pause after the model query.
        const std::size_t bytes =
            printer.bytes(kp28sim::LinkKind::Serial, kp28sim::Direction::ToPrinter).size() +
            printer.bytes(kp28sim::LinkKind::Serial, kp28sim::Direction::FromPrinter).size();
        const double bound = static_cast<double>(bytes) * 10.0 / 19200.0 + 0.5;
        state.SetIterationTime(wall);
        ratio_sum += wall / bound;
        cpu_sum += cpu;
        bound_sum += bound;
        ++runs;
    }
    if (runs) {
        state.counters["ratio_to_line"] = ratio_sum / runs;
        state.counters["bound_s"] = bound_sum / runs;
        state.counters["tool_cpu_ms"] = 1000.0 * cpu_sum / runs;
    }
}
BENCHMARK(BM_Kp28PlusNvmReadAtLineRate)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
