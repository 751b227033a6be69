// Our gzip decoder and CRC-32 beside zlib and libdeflate, in one process, on
// the stream kinds of the corpus (corpus.h), 8 MiB unpacked each.
//
// The machine is shared, so a single timing says little. Each figure is the
// median over paired rounds: in every round our decoder and the peer each
// decode the stream, in an order swapped every round, and the round gives the
// ratio of their times; so a load that comes and goes hits both sides alike.
// Wall and CPU time (of this thread) are both shown, with the spread of the
// round ratios and the load average. Then, unless KP28_BENCH_NO_CALLGRIND is
// set or valgrind is missing, each decoder decodes each stream once under
// callgrind, whose instruction count does not depend on the load at all.
//
//   bench_inflate [ROUNDS [KIND...]] the timings and the instruction counts, of
//                                    the named stream kinds only if any are given
//   bench_inflate --one FILE.gz WHO  one decode, for callgrind (WHO: ours, zlib, libdeflate)
#include <kp28/crc32.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define KP28_HAVE_CALLGRIND 1
#endif

#include "corpus.h"
#include "gunzip.h"

namespace {

using inflate_corpus::Bytes;
using inflate_corpus::Stream;

// Each decoder: unpack `gz` into `out`, return the byte count (0 on failure).
using Decoder = std::size_t (*)(const Bytes& gz, Bytes& out);

std::size_t decode_ours(const Bytes& gz, Bytes& out) {
    const auto r = fwupdate::gunzip(gz, out);
    return r.ok() ? r.total : 0;
}

std::size_t decode_zlib(const Bytes& gz, Bytes& out) {
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return 0;
    z.next_in = const_cast<Bytef*>(gz.data());
    z.avail_in = static_cast<uInt>(gz.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&z, Z_FINISH);
    const std::size_t n = z.total_out;
    inflateEnd(&z);
    return rc == Z_STREAM_END ? n : 0;
}

std::size_t decode_libdeflate(const Bytes& gz, Bytes& out) {
    // Allocated per run as the others are: each unpacks one image per call.
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    std::size_t n = 0;
    const auto rc = libdeflate_gzip_decompress(d, gz.data(), gz.size(), out.data(), out.size(), &n);
    libdeflate_free_decompressor(d);
    return rc == LIBDEFLATE_SUCCESS ? n : 0;
}

struct Named {
    const char* name;
    Decoder decode;
};
const Named kDecoders[] = {
    {"ours", decode_ours}, {"zlib", decode_zlib}, {"libdeflate", decode_libdeflate}};

std::string loadavg() {
    std::ifstream f("/proc/loadavg");
    std::string a, b, c;
    f >> a >> b >> c;
    return a + " " + b + " " + c;
}

struct Sample {
    double wall = 0, cpu = 0;  // seconds
};

Sample timed(const std::function<void()>& work) {
    timespec c0{}, c1{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
    const auto w0 = std::chrono::steady_clock::now();
    work();
    const auto w1 = std::chrono::steady_clock::now();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
    return {std::chrono::duration<double>(w1 - w0).count(),
            static_cast<double>(c1.tv_sec - c0.tv_sec) +
                1e-9 * static_cast<double>(c1.tv_nsec - c0.tv_nsec)};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Quartiles as the spread: robust against the odd round that a neighbour's
// compile hit harder on one side.
std::string spread(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    char text[48];
    std::snprintf(text, sizeof text, "%.2f-%.2f", v[v.size() / 4], v[(3 * v.size()) / 4]);
    return text;
}

struct Paired {
    std::vector<double> wall_ratio, cpu_ratio, ours_ms, peer_ms;
};

// `rounds` paired rounds of ours against the peer; the order alternates.
Paired pair_up(const std::function<void()>& ours, const std::function<void()>& peer, int rounds) {
    Paired p;
    ours();  // warm caches and page in the output buffer
    peer();
    for (int r = 0; r < rounds; ++r) {
        Sample a, b;
        if (r % 2 == 0) {
            a = timed(ours);
            b = timed(peer);
        } else {
            b = timed(peer);
            a = timed(ours);
        }
        p.wall_ratio.push_back(a.wall / b.wall);
        p.cpu_ratio.push_back(a.cpu / b.cpu);
        p.ours_ms.push_back(a.cpu * 1e3);
        p.peer_ms.push_back(b.cpu * 1e3);
    }
    return p;
}

void print_pair(const char* what, const char* peer, const Paired& p) {
    std::printf("  %-14s %-18s wall %.2f (%s)  cpu %.2f (%s)  cpu ms %.2f vs %.2f\n", what, peer,
                median(p.wall_ratio), spread(p.wall_ratio).c_str(), median(p.cpu_ratio),
                spread(p.cpu_ratio).c_str(), median(p.ours_ms), median(p.peer_ms));
}

std::filesystem::path workdir() {
    return std::filesystem::path(KP28_BENCH_WORKDIR) / "corpus";
}

std::vector<Stream> corpus() {
    return inflate_corpus::build(workdir(), {});
}

// One decode of one stream file, the only part callgrind counts.
int run_one(const std::string& file, const std::string& who) {
    std::ifstream f(file, std::ios::binary);
    const Bytes gz((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    for (const auto& d : kDecoders) {
        if (who != d.name) continue;
        Bytes out(fwupdate::kUnpackBufferSize);
#ifdef KP28_HAVE_CALLGRIND
        CALLGRIND_TOGGLE_COLLECT;
#endif
        const std::size_t n = d.decode(gz, out);
#ifdef KP28_HAVE_CALLGRIND
        CALLGRIND_TOGGLE_COLLECT;
#endif
        return n != 0 ? 0 : 1;
    }
    std::fprintf(stderr, "bench_inflate: no decoder %s\n", who.c_str());
    return 2;
}

// The instructions callgrind counted while collection was on; 0 if it failed.
double instructions(const char* self, const std::filesystem::path& gz, const char* who) {
    const std::string log = (workdir() / "callgrind.log").string();
    const std::string cmd =
        "valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file=/dev/null '" +
        std::string(self) + "' --one '" + gz.string() + "' " + who + " 2> '" + log + "'";
    if (std::system(cmd.c_str()) != 0) return 0;
    std::ifstream f(log);
    std::string line;
    while (std::getline(f, line)) {
        const auto at = line.find("Collected : ");
        if (at != std::string::npos) return std::strtod(line.c_str() + at + 12, nullptr);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 4 && std::strcmp(argv[1], "--one") == 0) return run_one(argv[2], argv[3]);
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 15;
        std::printf("load average before: %s\n", loadavg().c_str());
        auto streams = corpus();
        if (argc > 2) {
            const std::vector<std::string> kinds(argv + 2, argv + argc);
            std::erase_if(streams, [&](const Stream& s) {
                return std::find(kinds.begin(), kinds.end(), s.kind) == kinds.end();
            });
            if (streams.empty()) throw std::runtime_error("no stream of the kinds given");
        }

        // Every decoder must give zlib's bytes, which must be the source's.
        for (const auto& s : streams) {
            const Bytes ref = inflate_corpus::zlib_gunzip(s.gz, fwupdate::kUnpackBufferSize);
            if (ref != s.plain)
                throw std::runtime_error(s.kind + ": zlib does not give the source");
            for (const auto& d : kDecoders) {
                Bytes out(fwupdate::kUnpackBufferSize);
                const std::size_t n = d.decode(s.gz, out);
                if (n != ref.size() || std::memcmp(out.data(), ref.data(), n) != 0)
                    throw std::runtime_error(s.kind + ": " + d.name + " differs from zlib");
            }
        }

        std::printf(
            "\ninflate, time of ours / time of peer, median of %d paired rounds (quartiles)\n",
            rounds);
        for (const auto& s : streams) {
            std::printf("%s: %zu bytes -> %zu bytes\n", s.kind.c_str(), s.gz.size(),
                        s.plain.size());
            Bytes out_a(fwupdate::kUnpackBufferSize), out_b(fwupdate::kUnpackBufferSize);
            for (const auto& peer : {kDecoders[1], kDecoders[2]}) {
                const auto p = pair_up([&] { decode_ours(s.gz, out_a); },
                                       [&] { peer.decode(s.gz, out_b); }, rounds);
                print_pair("inflate", peer.name, p);
            }
        }

        const Bytes& data = streams.front().plain;
        std::printf("\ncrc32 over %zu bytes, ours / zlib\n", data.size());
        volatile std::uint32_t sink = 0;
        auto zlib_crc = [&] {
            sink =
                static_cast<std::uint32_t>(::crc32(0, data.data(), static_cast<uInt>(data.size())));
        };
        if (kp28::crc32(0, data.data(), data.size()) !=
                static_cast<std::uint32_t>(
                    ::crc32(0, data.data(), static_cast<uInt>(data.size()))) ||
            kp28::crc32_portable(0, data.data(), data.size()) !=
                kp28::crc32(0, data.data(), data.size()))
            throw std::runtime_error("CRC-32 differs from zlib's");
        print_pair("crc32", "zlib",
                   pair_up([&] { sink = kp28::crc32(0, data.data(), data.size()); }, zlib_crc,
                           rounds * 4));
        print_pair("crc32 tables", "zlib",
                   pair_up([&] { sink = kp28::crc32_portable(0, data.data(), data.size()); },
                           zlib_crc, rounds * 4));
        std::printf("load average after: %s\n", loadavg().c_str());

        if (std::getenv("KP28_BENCH_NO_CALLGRIND") ||
            std::system("valgrind --version > /dev/null 2>&1") != 0) {
            std::printf("\n(callgrind instruction counts skipped)\n");
            return 0;
        }
        std::printf("\ninstructions of one decode (callgrind), ours / peer\n");
        for (const auto& s : streams) {
            double count[3] = {};
            const auto file = workdir() / (s.kind + ".gz");
            std::ofstream(file, std::ios::binary)
                .write(reinterpret_cast<const char*>(s.gz.data()),
                       static_cast<std::streamsize>(s.gz.size()));
            for (int d = 0; d < 3; ++d) count[d] = instructions(argv[0], file, kDecoders[d].name);
            std::printf(
                "  %-14s ours %.0f  zlib %.0f  libdeflate %.0f   / zlib %.2f  / libdeflate %.2f\n",
                s.kind.c_str(), count[0], count[1], count[2],
                count[1] > 0 ? count[0] / count[1] : 0.0, count[2] > 0 ? count[0] / count[2] : 0.0);
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_inflate: %s\n", e.what());
        return 1;
    }
}
