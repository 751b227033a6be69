#include "corpus.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace inflate_corpus {
namespace {

namespace fs = std::filesystem;

Bytes read_file(const fs::path& p, std::size_t limit = SIZE_MAX) {
    std::ifstream f(p, std::ios::binary);
    Bytes b;
    char buf[65536];
    while (f && b.size() < limit) {
        f.read(buf, static_cast<std::streamsize>(std::min(sizeof buf, limit - b.size())));
        const auto got = static_cast<std::size_t>(f.gcount());
        if (got == 0) break;
        b.insert(b.end(), buf, buf + got);
    }
    return b;
}

void write_file(const fs::path& p, const Bytes& b) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    if (!f) throw std::runtime_error("cannot write " + p.string());
}

bool starts_with_elf(const fs::path& p) {
    const Bytes b = read_file(p, 4);
    return b.size() == 4 && b[0] == 0x7F && b[1] == 'E' && b[2] == 'L' && b[3] == 'F';
}

bool is_text(const fs::path& p) {
    static const char* const packed[] = {".gz",  ".bz2", ".xz", ".zst", ".png", ".jpg",
                                         ".svg", ".ico", ".mo", ".zip", ".lz4"};
    const std::string ext = p.extension().string();
    for (const char* x : packed)
        if (ext == x) return false;
    const Bytes b = read_file(p, 4096);
    return !b.empty() && std::find(b.begin(), b.end(), 0) == b.end();
}

std::vector<fs::path> regular_files(const fs::path& dir, bool recursive) {
    std::vector<fs::path> files;
    std::error_code ec;
    auto take = [&](const fs::directory_entry& e) {
        if (e.is_regular_file(ec) && !e.is_symlink(ec)) files.push_back(e.path());
    };
    if (recursive) {
        for (auto it = fs::recursive_directory_iterator(
                 dir, fs::directory_options::skip_permission_denied, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
            take(*it);
    } else {
        for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
             it.increment(ec))
            take(*it);
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Whole files that pass `keep`, from the directories in order, in name order,
// joined and cut to `size`.
template <typename Keep>
Bytes join(std::initializer_list<std::pair<const char*, bool>> dirs, std::size_t size, Keep keep,
           const char* what) {
    Bytes out;
    for (auto [dir, recursive] : dirs) {
        for (const auto& f : regular_files(dir, recursive)) {
            if (out.size() >= size) return out;
            if (!keep(f)) continue;
            const Bytes b = read_file(f, size - out.size());
            out.insert(out.end(), b.begin(), b.end());
        }
    }
    if (out.size() < size) throw std::runtime_error(std::string("not enough ") + what);
    return out;
}

// zlib's gzip writer: level 0 gives stored blocks, Z_FIXED only blocks with
// the fixed codes, and a sync flush every `flush_every` bytes ends a block and
// adds an empty stored one each time.
Bytes zlib_gzip(const Bytes& plain, int level, std::size_t flush_every,
                int strategy = Z_DEFAULT_STRATEGY) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, 16 + MAX_WBITS, 8, strategy) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    Bytes out(deflateBound(&z, static_cast<uLong>(plain.size())) +
              (plain.size() / std::max<std::size_t>(flush_every, 1) + 1) * 16);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    std::size_t pos = 0;
    for (;;) {
        const std::size_t n = std::min(flush_every, plain.size() - pos);
        z.next_in = const_cast<Bytef*>(plain.data() + pos);
        z.avail_in = static_cast<uInt>(n);
        pos += n;
        const bool end = pos == plain.size();
        const int rc = deflate(&z, end ? Z_FINISH : Z_SYNC_FLUSH);
        if (end ? rc != Z_STREAM_END : rc != Z_OK) {
            deflateEnd(&z);
            throw std::runtime_error("deflate failed");
        }
        if (end) break;
    }
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// A cached file if its source is unchanged, else made anew with `make`.
template <typename Make>
Bytes cached(const fs::path& file, const Bytes& plain, const fs::path& plain_file, Make make) {
    std::error_code ec;
    if (fs::exists(file, ec) && read_file(plain_file) == plain &&
        fs::last_write_time(file, ec) >= fs::last_write_time(plain_file, ec))
        return read_file(file);
    Bytes b = make();
    write_file(file, b);
    return b;
}

}  // namespace

Bytes zlib_gunzip(const Bytes& gz, std::size_t capacity) {
    Bytes out(capacity);
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return {};
    z.next_in = const_cast<Bytef*>(gz.data());
    z.avail_in = static_cast<uInt>(gz.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&z, Z_FINISH);
    out.resize(z.total_out);
    inflateEnd(&z);
    return rc == Z_STREAM_END ? out : Bytes{};
}

std::vector<Stream> build(const fs::path& workdir, const Sizes& sizes) {
    fs::create_directories(workdir);
    const std::string tag = std::to_string(sizes.plain);
    struct Source {
        const char* name;
        Bytes plain;
        fs::path file;
    };
    auto source = [&](const char* name, Bytes plain) {
        Source s{name, std::move(plain), workdir / (std::string(name) + "-" + tag + ".bin")};
        if (read_file(s.file) != s.plain) write_file(s.file, s.plain);
        return s;
    };
    const Source elf = source(
        "elf",
        join({{"/usr/bin", false}, {"/usr/lib/x86_64-linux-gnu", false}, {"/usr/lib", false}},
             sizes.plain, starts_with_elf, "ELF files"));
    const Source so =
        source("so", join(
                         {{"/usr/lib/x86_64-linux-gnu", false}}, sizes.plain,
                         [](const fs::path& p) {
                             return p.filename().string().find(".so") != std::string::npos &&
                                    starts_with_elf(p);
                         },
                         "shared libraries"));
    const Source text = source("text", join({{"/usr/share/doc", true}, {"/usr/share", true}},
                                            sizes.plain, is_text, "text"));

    auto tool = [&](const Source& s, const std::string& cmd, const std::string& kind,
                    std::size_t size) {
        fs::path in = s.file;
        if (size < s.plain.size()) {
            in = workdir / (std::string(s.name) + "-" + std::to_string(size) + ".bin");
            const Bytes part(s.plain.begin(), s.plain.begin() + static_cast<long>(size));
            if (read_file(in) != part) write_file(in, part);
        }
        const Bytes plain = read_file(in);
        const fs::path out = workdir / (kind + "-" + std::to_string(size) + ".gz");
        Bytes gz = cached(out, plain, in, [&] {
            const std::string line =
                cmd + " -n -c < '" + in.string() + "' > '" + out.string() + "'";
            if (std::system(line.c_str()) != 0) throw std::runtime_error(cmd + " failed");
            return read_file(out);
        });
        return Stream{kind, std::move(gz), plain};
    };
    std::vector<Stream> streams;
    streams.push_back(tool(elf, "gzip -9", "elf_gzip9", sizes.plain));
    streams.push_back(tool(so, "gzip -1", "so_gzip1", sizes.plain));
    streams.push_back(tool(so, "pigz -11", "so_pigz11", std::min(sizes.pigz11, sizes.plain)));
    streams.push_back(tool(text, "gzip -9", "text_gzip9", sizes.plain));
    streams.push_back({"so_stored", zlib_gzip(so.plain, 0, so.plain.size()), so.plain});
    streams.push_back({"elf_fixed",
                       zlib_gzip(elf.plain, Z_DEFAULT_COMPRESSION, elf.plain.size(), Z_FIXED),
                       elf.plain});
    streams.push_back(
        {"elf_sync1000", zlib_gzip(elf.plain, Z_DEFAULT_COMPRESSION, 1000), elf.plain});
    return streams;
}

}  // namespace inflate_corpus
