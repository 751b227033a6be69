// Unpacking and checksumming an 8 MiB firmware-like image: machine code from
// the system's ELF files, compressed with `gzip -9` at run time. Our decoder
// and CRC-32 run beside zlib's inflate and crc32 and libdeflate's gzip
// decoder in the same process; a summary of ratios follows the table.
//
// KP28_BENCH_IMAGE=<file.gz> uses a given gzip file instead of the generated one.
#include <benchmark/benchmark.h>
#include <kp28/crc32.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "gunzip.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes read_file(const fs::path& p, std::size_t limit = SIZE_MAX) {
    std::ifstream f(p, std::ios::binary);
    Bytes b;
    char buf[65536];
    while (b.size() < limit) {
        f.read(buf, sizeof buf);
        const auto got = static_cast<std::size_t>(f.gcount());
        if (got == 0) break;
        b.insert(b.end(), buf, buf + std::min(got, limit - b.size()));
    }
    return b;
}

bool is_elf(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    char m[4] = {};
    f.read(m, 4);
    return f.gcount() == 4 && std::memcmp(m,
                                          "\x7F"
                                          "ELF",
                                          4) == 0;
}

// ELF files from /usr/bin, then /usr/lib, in name order, joined to 8 MiB.
Bytes firmware_like_image() {
    Bytes image;
    for (const char* dir : {"/usr/bin", "/usr/lib/x86_64-linux-gnu", "/usr/lib"}) {
        std::vector<fs::path> files;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(dir, ec))
            if (e.is_regular_file(ec) && !e.is_symlink(ec)) files.push_back(e.path());
        std::sort(files.begin(), files.end());
        for (const auto& f : files) {
            if (image.size() >= fwupdate::kUnpackBufferSize) return image;
            if (!is_elf(f)) continue;
            const Bytes b = read_file(f, fwupdate::kUnpackBufferSize - image.size());
            image.insert(image.end(), b.begin(), b.end());
        }
    }
    if (image.size() < fwupdate::kUnpackBufferSize)
        throw std::runtime_error("not enough ELF files for 8 MiB");
    return image;
}

struct Image {
    Bytes gz;  // the gzip member
    std::size_t unpacked = 0;
    Bytes plain;  // its unpacked bytes, for the CRC runs
};

const Image& image() {
    static const Image img = [] {
        Image i;
        if (const char* given = std::getenv("KP28_BENCH_IMAGE"); given && *given) {
            i.gz = read_file(given);
        } else {
            const fs::path dir = fs::path(KP28_BENCH_WORKDIR) / "image";
            fs::create_directories(dir);
            const fs::path raw = dir / "firmware.bin", gz = dir / "firmware.bin.gz";
            const Bytes plain = firmware_like_image();
            std::ofstream(raw, std::ios::binary)
                .write(reinterpret_cast<const char*>(plain.data()),
                       static_cast<std::streamsize>(plain.size()));
            const std::string cmd = "gzip -9 -c '" + raw.string() + "' > '" + gz.string() + "'";
            if (std::system(cmd.c_str()) != 0) throw std::runtime_error("gzip failed");
            i.gz = read_file(gz);
        }
        // Our decoder also proves the image is sound and gives its size.
        i.plain.resize(fwupdate::kUnpackBufferSize);
        const auto r = fwupdate::gunzip(i.gz, i.plain);
        if (!r.ok()) throw std::runtime_error("image does not decode: " + r.messages.back());
        i.unpacked = r.total;
        i.plain.resize(r.total);
        std::fprintf(stderr, "image: %zu bytes gzip -9, %zu bytes unpacked\n", i.gz.size(),
                     i.unpacked);
        return i;
    }();
    return img;
}

void check_same(const Bytes& out, std::size_t n, benchmark::State& state) {
    if (n != image().unpacked || std::memcmp(out.data(), image().plain.data(), n) != 0)
        state.SkipWithError("output differs from the reference");
}

void inflate_ours(benchmark::State& state) {
    const auto& img = image();
    Bytes out(fwupdate::kUnpackBufferSize);
    std::size_t n = 0;
    for (auto _ : state) {
        const auto r = fwupdate::gunzip(img.gz, out);
        n = r.total;
        benchmark::DoNotOptimize(out.data());
    }
    check_same(out, n, state);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * img.unpacked));
}

void inflate_zlib(benchmark::State& state) {
    const auto& img = image();
    Bytes out(fwupdate::kUnpackBufferSize);
    std::size_t n = 0;
    for (auto _ : state) {
        z_stream z{};
        inflateInit2(&z, 16 + MAX_WBITS);  // gzip wrapper
        z.next_in = const_cast<Bytef*>(img.gz.data());
        z.avail_in = static_cast<uInt>(img.gz.size());
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        if (inflate(&z, Z_FINISH) != Z_STREAM_END) state.SkipWithError("zlib failed");
        n = z.total_out;
        inflateEnd(&z);
        benchmark::DoNotOptimize(out.data());
    }
    check_same(out, n, state);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * img.unpacked));
}

void inflate_libdeflate(benchmark::State& state) {
    const auto& img = image();
    Bytes out(fwupdate::kUnpackBufferSize);
    std::size_t n = 0;
    for (auto _ : state) {
        // Allocated per run as the others are: each unpacks one image per call.
        libdeflate_decompressor* d = libdeflate_alloc_decompressor();
        if (libdeflate_gzip_decompress(d, img.gz.data(), img.gz.size(), out.data(), out.size(),
                                       &n) != LIBDEFLATE_SUCCESS)
            state.SkipWithError("libdeflate failed");
        libdeflate_free_decompressor(d);
        benchmark::DoNotOptimize(out.data());
    }
    check_same(out, n, state);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * img.unpacked));
}

void crc32_ours(benchmark::State& state) {
    const auto& img = image();
    std::uint32_t c = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(c = kp28::crc32(0, img.plain.data(), img.plain.size()));
    if (c != static_cast<std::uint32_t>(
                 ::crc32(0, img.plain.data(), static_cast<uInt>(img.plain.size()))))
        state.SkipWithError("CRC differs from zlib's");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * img.plain.size()));
}

void crc32_zlib(benchmark::State& state) {
    const auto& img = image();
    for (auto _ : state)
        benchmark::DoNotOptimize(::crc32(0, img.plain.data(), static_cast<uInt>(img.plain.size())));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * img.plain.size()));
}

void crc32_table_only(benchmark::State& state) {
    const auto& img = image();
    for (auto _ : state)
        benchmark::DoNotOptimize(kp28::crc32_portable(0, img.plain.data(), img.plain.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * img.plain.size()));
}

// Median of the repetitions: the machine is shared, so single runs wander.
void configure(benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMillisecond)->Repetitions(7)->ReportAggregatesOnly(true)->MinTime(0.3);
}

BENCHMARK(inflate_ours)->Apply(configure);
BENCHMARK(inflate_zlib)->Apply(configure);
BENCHMARK(inflate_libdeflate)->Apply(configure);
BENCHMARK(crc32_ours)->Apply(configure);
BENCHMARK(crc32_zlib)->Apply(configure);
BENCHMARK(crc32_table_only)->Apply(configure);

// Keeps the median time of each benchmark for the summary.
class Collector : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& r : runs)
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
                median_real[r.run_name.function_name] = r.GetAdjustedRealTime();
                median_cpu[r.run_name.function_name] = r.GetAdjustedCPUTime();
            }
        ConsoleReporter::ReportRuns(runs);
    }
    Collector() : ConsoleReporter(OO_Tabular) {}
    std::map<std::string, double> median_real, median_cpu;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    try {
        image();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_inflate: %s\n", e.what());
        return 1;
    }
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    // CPU time is the fairer measure on a shared machine: all runs are single-threaded.
    auto ratio = [&](const char* a, const char* b) {
        auto& c = collector.median_cpu;
        auto& r = collector.median_real;
        if (c.count(a) && c.count(b) && c[b] > 0 && r[b] > 0)
            std::printf("  %-18s / %-18s  cpu %.2f  real %.2f\n", a, b, c[a] / c[b], r[a] / r[b]);
    };
    std::printf("\nmedian time ratios (below 1: ours faster)\n");
    ratio("inflate_ours", "inflate_zlib");
    ratio("inflate_ours", "inflate_libdeflate");
    ratio("crc32_ours", "crc32_zlib");
    ratio("crc32_table_only", "crc32_zlib");
    return 0;
}
